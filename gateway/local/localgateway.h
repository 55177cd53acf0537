#pragma once

// The local gateway component: a complete small SMS service kept in one SQLite store
// on the user's machine.
//
//   console ── GatewayClient ──┐
//                              ├─> LocalGateway ── deliverDue() ── Store (SQLite, shared
//   operator tool ─────────────┘    each call starts by             by every process)
//   (cards, handset messages)       delivering what is due
//
// Accounts sign on and off; money is kept in fen, and every change of a balance is a
// ledger row written in the same transaction as what it pays for. Messages to handsets
// (MT) are charged when submitted and delivered at once or when due; messages from
// handsets (MO) wait for the account, and may set off a forwarded copy and an automatic
// reply, both charged like any message.
//
// Outcomes: -1 success, 0 failure, and a failure changes nothing. A failure Status
// means the store itself could not be used; then no outcome is written.

#include "gateway/gatewayclient.h"
#include "gateway/linkstore.h"
#include "gateway/local/passwordhasher.h"
#include "gateway/local/store.h"
#include "gateway/operatorreports.h"
#include "gateway/result.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class LocalGateway final : public GatewayClient {
public:
    using Clock = std::function<QDateTime()>;

    struct Options {
        // In UTC: the gateway keeps instants, and reading the local zone for each one
        // costs a look at the time zone files.
        Clock clock = [] { return QDateTime::currentDateTimeUtc(); };
        PasswordHasher::Cost hashCost = PasswordHasher::interactive();
        // The link to an SMSC a message to `phone` leaves by, or empty for the simulated
        // handsets. Without it every message goes to the handsets.
        std::function<QString(const QString &phone)> route;
        // Told, once an operation's change is committed, that it may have queued messages
        // for a link.
        std::function<void()> queued;
    };

    static constexpr qint64 FenPerSegment = 10;
    static constexpr int ReceiveBatch = 10;
    static constexpr int RechargeFailureLimit = 5;
    static constexpr qint64 RechargeWindowSeconds = 15 * 60;
    // No balance grows beyond this (one hundred million yuan).
    static constexpr qint64 MaxBalanceFen = 10'000'000'000;
    static constexpr qint64 MaxCardValueFen = 1'000'000;
    static constexpr int MaxCardsPerIssue = 100;
    static constexpr int CardNumberDigits = 16;
    static constexpr int CardPasswordDigits = 12;

    static Status open(const QString &storePath, std::unique_ptr<LocalGateway> &gateway,
                       Options options);
    static Status open(const QString &storePath, std::unique_ptr<LocalGateway> &gateway)
    {
        return open(storePath, gateway, Options());
    }
    // The store that `location` names: an SQLite file or a PostgreSQL database.
    static Status open(const StoreLocation &location, std::unique_ptr<LocalGateway> &gateway,
                       Options options);
    static Status open(const StoreLocation &location, std::unique_ptr<LocalGateway> &gateway)
    {
        return open(location, gateway, Options());
    }

    const QString &storePath() const { return m_store->path(); }
    // The store this gateway works on. A caller that runs an operation inside its own
    // Store::transaction makes the operation and what the caller writes one atomic
    // change (the gateway service records an answer with its request key this way).
    Store &store() { return *m_store; }

    // GatewayClient
    Status QueryBalance(const QString &accountNo, QString &balance) override;
    Status Register(const RegisterParticulars &particulars, Bool16 &outcome) override;
    Status Recharge(const QString &accountNo, const QString &cardNo, const QString &cardPassword,
                    Bool16 &outcome) override;
    Status SendMessage(const QString &accountNo, const QString &phoneNo, const QString &text,
                       Bool16 &outcome) override;
    Status SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                const QString &text, const QString &sendTime,
                                Bool16 &outcome) override;
    Status ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                           Variant &messages, Bool16 &outcome) override;
    Status SetForwarding(const QString &accountNo, const QString &phoneNo,
                         Bool16 &outcome) override;
    Status CancelForwarding(const QString &accountNo, Bool16 &outcome) override;
    Status GetForwarding(const QString &accountNo, QString &phoneNo) override;
    Status SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome) override;
    Status CancelAutoReply(const QString &accountNo, Bool16 &outcome) override;
    Status GetAutoReply(const QString &accountNo, QString &reply) override;
    Status Deregister(const QString &accountNo, Bool16 &outcome) override;
    Status ChangePassword(const QString &accountNo, const QString &newPassword,
                          Bool16 &outcome) override;
    Status ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                              Variant &messages, const QString &extension,
                              Bool16 &outcome) override;

    // Slow work made ahead of the next call, for a caller that runs that call inside a
    // write transaction of its own (the gateway service records its answer so): the
    // password hashes the call would make or check are made now, outside every lock, and
    // the call takes them instead of hashing under the lock. A call whose inputs differ
    // from the prepared ones hashes as usual; forgetPrepared() drops what was not taken.
    void prepareSignOn(const QString &accountNo, const QString &password);
    void prepareNewPassword(const QString &password);
    void prepareCardCheck(const QString &cardNo, const QString &cardPassword);
    Status prepareCards(qint64 valueFen, int count);
    void forgetPrepared();

    // Tells the links when an operation queued messages for them. Inside a caller's
    // transaction it waits: the caller calls it again once that transaction has ended,
    // since a link cannot see the messages before.
    void notifyQueued();

    // Whether a send is one statement: where the store's engine makes it so, and no
    // message is routed to a link.
    bool sendsAtOnce() const { return m_sendsAtOnce; }
    // Sends in one statement with a caller's `rider` (see SendRider). sendInput() is the
    // gateway's row of a send as SendMessage (without `sendTime`) or SendScheduledMessage
    // makes it: nothing where a send is not one statement, or where the call refuses its
    // input before any statement (the call itself answers those). sendsRiding() makes the
    // sends of such rows, with the rider's columns written in, no two of one account: for
    // each, whether it sent, and the rider's columns.
    struct RiddenSend {
        bool sent = false;
        QVariantList columns;
    };
    std::optional<QJsonObject> sendInput(const QString &accountNo, const QString &phoneNo,
                                         const QString &text,
                                         const std::optional<QString> &sendTime);
    Result<std::vector<RiddenSend>> sendsRiding(QJsonArray sends, const SendRider &rider);

    // The operator's side (LocalOperator), in the words of its reports.
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
    static constexpr int MaxPageSize = Operator::MaxPageSize;

    static constexpr qint64 MaxBulkArrivals = 1'000'000;
    static constexpr qint64 ArrivalsPerTransaction = 5'000;

    // Marks every scheduled message whose time has come as delivered. Every operation
    // and every operator command runs it first, but for a send that the store makes in
    // one statement: that statement delivers them itself.
    Status deliverDue();

    // "12.30" for 1230 fen.
    static QString formatYuan(qint64 fen);
    // "12.3", "12.30" or "12" yuan to fen; false for anything else.
    static bool parseYuan(const QString &text, qint64 &fen);

private:
    // The operator's side and the applications' API work on the same store, with the
    // same primitives.
    friend class LocalOperator;
    friend class ApplicationApi;
    friend class Outbox;
    friend class SmppAccounts;

    struct Account {
        qint64 id = 0;
        QString number;
        QString passwordHash;
        QString serviceNumber;
        qint64 balance = 0;
        bool signedOn = false;
        QString forwardingPhone;
        QString autoReply;
        qint64 waiting = 0; // messages waiting for it
    };
    struct Card {
        qint64 id = 0;
        qint64 value = 0;
    };
    using Decision = Store::Decision;
    enum class Opening { Opened, Raced };
    enum class Spending { Spent, Refused, TakenFirst };

    LocalGateway(std::unique_ptr<Store> store, Options options);

    // What prepare...() made, each taken at most once.
    struct Prepared {
        struct Hashed {
            QString password;
            QString hash;
        };
        struct Verdict {
            QString hash;
            QString password;
            bool verified = false;
        };
        struct Cards {
            qint64 valueFen = 0;
            QList<IssuedCard> cards; // without numbers: those are drawn under the lock
            QStringList hashes;
        };
        std::optional<Hashed> hashed;
        std::optional<Verdict> verdict;
        std::optional<Cards> cards;
        // New SMPP credentials' password (see SmppAccounts::prepare).
        std::optional<Hashed> smppPassword;
    };
    bool hashPassword(const QString &password, QString &hash);
    bool verifyPassword(const QString &hash, const QString &password);
    Result<Prepared::Cards> makeCards(qint64 valueFen, int count) const;

    qint64 nowMs() const;
    // Every operation: deliver what is due, run the work, write its answer.
    Status answer(Bool16 &outcome, const std::function<Result<bool>()> &work);
    Status answer(QString &text, const std::function<Result<QString>()> &work);

    Result<std::optional<Account>> findAccount(const QString &accountNo);
    // `column` is `number` or `service_number`.
    Result<std::optional<Account>> findAccountBy(const QString &column, const QString &value);
    Result<std::optional<Account>> findSignedOn(const QString &accountNo);
    // Runs `sql` (its last placeholder the account number) in a transaction that keeps
    // it only when it changed exactly one account.
    Result<bool> changeAccount(const QString &accountNo, const QString &sql,
                               QVariantList values = {});

    Result<bool> signOnOrOpen(const RegisterParticulars &particulars);
    Result<bool> signOnKnown(const Account &account, const RegisterParticulars &particulars);
    Result<Opening> openAccount(const RegisterParticulars &particulars, const QString &hash);
    Result<bool> changePassword(const QString &accountNo, const QString &newPassword);

    Result<bool> rechargeWithCard(const QString &accountNo, const QString &cardNo,
                                  const QString &cardPassword);
    Result<std::optional<qint64>> reserveAttempt(qint64 accountId, qint64 now);
    Result<std::optional<Card>> checkCard(const QString &cardNo, const QString &cardPassword);
    Result<Spending> spendCard(qint64 accountId, const Card &card, const QString &cardNo,
                               qint64 attempt, qint64 now);

    // Like answer() for a send, on a store that may make it in one statement.
    Status answerSend(Bool16 &outcome, const QString &accountNo, const QString &phoneNo,
                      const QString &text, const std::optional<QString> &sendTime);
    // A send its inputs allow, worked out before the store is asked; none when they
    // refuse it.
    struct Send {
        QString accountNo;
        QStringList phones;
        QString text;
        int segments = 1;
        qint64 cost = 0; // for every recipient
        qint64 now = 0;
        qint64 due = 0;
        QString state;
    };
    std::optional<Send> checkSend(const QString &accountNo, const QString &phoneNo,
                                  const QString &text, const std::optional<QString> &sendTime);
    // The send step by step, in one transaction.
    Result<bool> submit(const QString &accountNo, const QString &phoneNo, const QString &text,
                        const std::optional<QString> &sendTime);
    Result<bool> submitAtOnce(const Send &send);
    static QJsonObject inputOf(const Send &send);
    Status insertMessage(qint64 accountId, const QString &phone, const QString &text, int segments,
                         qint64 cost, const QString &origin, qint64 dueMs, const QString &state,
                         const QVariant &reason);
    // What an application gives a message besides, and the new message's id.
    struct Given {
        QVariant reference;
        QVariant validUntil; // the store's time
        int smppReceipt = 0; // see ApplicationApi::Send
        std::optional<LinkStore::Part> part; // one segment, see ApplicationApi::Send
    };
    Result<qint64> insertMessage(qint64 accountId, const QString &phone, const QString &text,
                                 int segments, qint64 cost, const QString &origin, qint64 dueMs,
                                 const QString &state, const QVariant &reason, const Given &given);

    Result<bool> receiveBatch(const QString &accountNo, const std::optional<QString> &extension,
                              Variant &total, Variant &current, Variant &messages);
    Result<qint64> countWaiting(const Account &account, const std::optional<QString> &extension);
    // The oldest waiting messages, at most one batch, marked fetched.
    Result<std::optional<TextTable>> takeOldest(const Account &account,
                                                const std::optional<QString> &extension);

    std::unique_ptr<Store> m_store;
    Clock m_clock;
    PasswordHasher m_hasher;
    Prepared m_prepared;
    std::function<QString(const QString &)> m_route;
    std::function<void()> m_queued;
    const bool m_sendsAtOnce;
    bool m_queuedAny = false;
};
