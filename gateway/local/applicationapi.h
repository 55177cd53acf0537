#pragma once

// The gateway's rules as an application meets them: one account, named by its token, with
// no sign-on, and its messages by id.
//
//   account() ── balance and service number
//   message() / messages() ── MessageView, one or a page (the console's sends included)
//   send() ── the console's send (prices, segments, routes, all or nothing) with ids, the
//             application's reference and a validity per message
//   cancel() ── a message no SMSC has taken: scheduled, or queued and held by no link;
//               refunded by one ledger row
//   nextArrivals() ── the account's oldest waiting arrivals, marked fetched as the
//                     console's receive marks them: each goes to one consumer
//
// Each runs in the caller's transaction when there is one (the service's keyed call), so
// that the change and the answer remembered for its key are one.

#include "gateway/local/localgateway.h"
#include "gateway/local/messageview.h"
#include "gateway/operatorreports.h"
#include "gateway/result.h"

#include <QString>
#include <QStringList>

#include <optional>

class ApplicationApi {
public:
    static constexpr int MaxRecipients = 1000;
    static constexpr int MaxReferenceLength = 64;
    static constexpr qint64 MaxValiditySeconds = 365LL * 24 * 60 * 60;

    explicit ApplicationApi(LocalGateway &gateway);

    struct Account {
        QString accountNo;
        qint64 balanceFen = 0;
        QString serviceNumber;
    };
    Result<std::optional<Account>> account(const QString &accountNo);

    Result<std::optional<MessageView>> message(const QString &accountNo, qint64 id);

    struct Filter {
        QString state; // empty: any
        std::optional<qint64> sinceMs; // created at or after
    };
    // A state that is not one, or a cursor that is not the listing's, is an
    // InvalidArgument failure, as the operator's listing has it.
    Status messages(const QString &accountNo, const Filter &filter, const Operator::Page &page,
                    Operator::Listing<MessageView> &listing);

    struct Send {
        QStringList to;
        QString text;
        std::optional<qint64> sendAtMs;
        std::optional<qint64> validitySeconds;
        QString reference;
        // From an SMPP submit_sm's registered_delivery: 0 no receipt, 1 a receipt of any
        // final state, 2 of a failure only.
        int smppReceipt = 0;
        // From an SMPP submit_sm that is one part of a text its application split: the
        // message is that part, priced one segment, and its text must fit one segment
        // beside the part's header (else the Text field is refused).
        std::optional<LinkStore::Part> part;
    };
    // The field of a send its rules refuse, the first in this order.
    enum class Field { None, To, Text, SendAt, Validity, Reference };
    Field refusedField(const Send &send) const;
    struct Sent {
        enum class Refused { None, Invalid, InsufficientBalance, NoAccount };
        Refused refused = Refused::None;
        Field field = Field::None; // Invalid: which
        QList<MessageView> messages;
        qint64 balanceFen = 0;
    };
    Result<Sent> send(const QString &accountNo, const Send &send);

    struct Cancelled {
        enum class Outcome { Cancelled, NotFound, NotCancellable };
        Outcome outcome = Outcome::NotFound;
        MessageView message; // as it is now (Cancelled, NotCancellable)
    };
    Result<Cancelled> cancel(const QString &accountNo, qint64 id);

    static constexpr int MaxArrivals = 100;
    struct Arrival {
        qint64 id = 0;
        QString from;
        QString to; // the service number and the extension the sender added
        QString text;
        qint64 receivedAtMs = 0;
    };
    // Up to `limit` (1 to MaxArrivals) of the account's waiting arrivals, oldest first.
    Result<QList<Arrival>> nextArrivals(const QString &accountNo, int limit);

private:
    Result<std::optional<qint64>> accountId(const QString &accountNo);

    LocalGateway &m_gateway;
    Store &m_store;
};
