#pragma once

// The operator's side of the local component: cards, a handset's arrivals and what it
// has received, the accounts, the messages to phones and what the links to SMSCs
// report. It works on a LocalGateway's store, with its primitives, so that an arrival's
// forwarded copy and automatic reply are charged by the same rules as the console's
// sends.
//
//   operator tool / service ── LocalBackend ── LocalOperator ─┐
//   console ── GatewayClient ── LocalGateway ─────────────────┴─ Store

#include "gateway/local/localgateway.h"
#include "gateway/operatorreports.h"

class LocalOperator {
public:
    // `gateway` outlives this object.
    explicit LocalOperator(LocalGateway &gateway)
        : m_gateway(gateway)
    {
    }

    using IssuedCard = Operator::IssuedCard;
    using CardPublisher = Operator::CardPublisher;
    using MoOutcome = Operator::MoOutcome;
    using ReplyState = Operator::ReplyState;
    using MoReport = Operator::MoReport;
    using MoBulkReport = Operator::MoBulkReport;
    using Page = Operator::Page;
    template<typename T> using Listing = Operator::Listing<T>;
    using HandsetMessage = Operator::HandsetMessage;
    using AccountSummary = Operator::AccountSummary;
    using MessageFilter = Operator::MessageFilter;
    using MessageSummary = Operator::MessageSummary;
    using LinkSummary = Operator::LinkSummary;
    using UnmatchedEntry = Operator::UnmatchedEntry;

    // The cards exist only if `publish` (which writes and flushes their listing) returns
    // true: they are made in one transaction that commits after publish succeeds.
    // Nothing is made, and publish is not called, when the value or the count is out of
    // range.
    Status issueCards(qint64 valueFen, int count, const CardPublisher &publish);
    // `cards` is left empty when the value or the count is out of range.
    Status issueCards(qint64 valueFen, int count, QList<IssuedCard> &cards);

    // A handset sends `text` to an account, named by its account number or its service
    // number, with an optional extension code.
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, MoReport &report);

    // `count` arrivals of the same text (1 to MaxBulkArrivals) in batched transactions;
    // forwarding and the automatic reply act on each, charged as usual. On a failure
    // Status the report counts what the batches before it committed. A count out of
    // range is the caller's mistake: a SubscriptOutOfRange failure, nothing arrives.
    Status receiveFromHandset(const QString &from, const QString &to, const QString &extension,
                              const QString &text, qint64 count, MoBulkReport &report);

    // What a phone has received. A cursor this gateway did not give is an
    // InvalidArgument failure.
    Status handsetMessages(const QString &phone, const Page &page,
                           Listing<HandsetMessage> &listing);
    // The whole listing at once, for a caller that knows it is small.
    Status handsetMessages(const QString &phone, QList<HandsetMessage> &messages);

    // By account number.
    Status accounts(const Page &page, Listing<AccountSummary> &listing);
    Status accounts(QList<AccountSummary> &list);

    // Messages to phones by the time they were submitted, then id, narrowed by `filter`.
    // A state that is not one of Operator::messageStates(), an account number that is
    // not one, or a time out of 0 to LatestTimeMs is an InvalidArgument failure.
    Status messages(const MessageFilter &filter, const Page &page,
                    Listing<MessageSummary> &listing);
    // Each service process's row for each of its links, by link, then process.
    Status links(const Page &page, Listing<LinkSummary> &listing);
    // What the links kept for the operator, in the order they kept it.
    Status unmatched(const Page &page, Listing<UnmatchedEntry> &listing);
    Status clearUnmatched(qint64 throughId, qint64 &cleared);
    Status callbackEvents(const QString &delivery, const Page &page,
                          Listing<Operator::CallbackEvent> &listing);
    Status replayCallbacks(qint64 id, qint64 &taken);
    Status setSmppCredentials(const QString &accountNo, const QString &systemId,
                              Operator::SmppCredentials &made);
    Status revokeSmppCredentials(const QString &accountNo, qint64 &revoked);
    Status smppBinds(const Page &page, Listing<Operator::SmppBind> &listing);

private:
    using Account = LocalGateway::Account;
    using Decision = Store::Decision;
    using Prepared = LocalGateway::Prepared;
    static constexpr int MaxPageSize = Operator::MaxPageSize;
    static constexpr qint64 FenPerSegment = LocalGateway::FenPerSegment;
    static constexpr qint64 MaxCardValueFen = LocalGateway::MaxCardValueFen;
    static constexpr int MaxCardsPerIssue = LocalGateway::MaxCardsPerIssue;
    static constexpr int CardNumberDigits = LocalGateway::CardNumberDigits;
    static constexpr int CardPasswordDigits = LocalGateway::CardPasswordDigits;
    static constexpr qint64 MaxBulkArrivals = LocalGateway::MaxBulkArrivals;
    static constexpr qint64 ArrivalsPerTransaction = LocalGateway::ArrivalsPerTransaction;

    Result<QString> freeCardNumber();
    // A charged message the service sends by itself: a forwarded copy or an automatic
    // reply, worked out once for any number of arrivals of the same text.
    struct OnBehalf {
        QString phone;
        QString text;
        QString origin;
        int segments = 1;
        bool tooLong = false;
    };
    static OnBehalf onBehalf(const QString &phone, const QString &text, const QString &origin);
    // Recorded as not sent when the balance cannot cover it.
    Result<ReplyState> sendOnBehalf(qint64 accountId, qint64 &balance, const OnBehalf &message);
    // What one arrival set off.
    struct Effects {
        ReplyState forwarded = ReplyState::None;
        ReplyState autoReplied = ReplyState::None;
    };
    struct Arrival {
        QString from;
        QString extension;
        QString text;
        std::optional<OnBehalf> forward;
        std::optional<OnBehalf> reply;
    };
    MoOutcome checkArrival(const QString &from, const QString &to, const QString &extension,
                           const QString &text) const;
    Status lockRecipient(const QString &to);
    Result<std::optional<Account>> findRecipient(const QString &to);
    static Arrival arrival(const Account &account, const QString &from, const QString &extension,
                           const QString &text);
    Result<Effects> arrive(const Account &account, qint64 &balance, const Arrival &arrival);

    LocalGateway &m_gateway;
};
