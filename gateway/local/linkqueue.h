#pragma once

// The store as the links' LinkStore (gateway/linkstore.h): the queue of the messages to
// SMSCs, and where what the SMSCs send is written. Built by the links' composition root
// only; a link sees the interface.
//
// A claim is a lease, not a lock held over the network: a process that dies with
// messages in flight leaves them to any process once the lease runs out, so a message is
// never lost and is sent at most once more. Every answer is recorded only by the process
// that holds the claim. A message rejected for good is refunded by a ledger row, once; a
// message the SMSC took is never refunded, whatever id it gave.
//
// Nothing from the network is dropped unseen: what matches nothing (a receipt for no
// part, an arrival for no account, the parts of a message that never completed, an
// answer whose message id cannot find its part) is kept in link_unmatched for the
// operator, for as long as the link's retention says.

#include "gateway/linkstore.h"
#include "gateway/local/localgateway.h"

#include <QVariant>

class LinkQueue final : public LinkStore {
public:
    // `gateway` outlives this object; `process` names this process's claims; `clock` is
    // the gateway's.
    LinkQueue(LocalGateway &gateway, QString process,
              LocalGateway::Clock clock = LocalGateway::Options().clock);

    Result<QList<Outgoing>> claim(const QString &link, int most, qint64 leaseMs,
                                  const ClaimRules &rules) override;
    Result<QList<Doubtful>> record(const QString &link, const QList<Answer> &answers,
                                   const ReceiptRules &rules) override;
    // An id several parts have finds the oldest of them still waiting for a receipt, the
    // empty id none; beyond `partsPerSource` waiting parts from one sender, the oldest
    // incomplete message goes to link_unmatched.
    QList<Stored> deliver(const QString &link, const QList<Delivery> &deliveries,
                          int partsPerSource, const ReceiptRules &rules) override;
    Status doubt(const QString &link, const QList<QByteArray> &digests, qint64 forMs) override;
    Result<int> tidy(const QString &link, const Tidy &tidy) override;
    Status writeState(const LinkState &state) override;
    Status together(const std::function<Status()> &work) override;
    // Removes this process's rows of every link, as it ends.
    Status forgetStates();

    // An arrival with the SMSC's id seen again within this time is the network
    // repeating itself.
    static constexpr qint64 RepeatWindowMs = 5 * 60 * 1000;

private:
    Result<std::optional<IdForm>> applyReceipt(const QString &link, const Receipt &receipt,
                                               const ReceiptRules &rules);
    Result<std::optional<IdForm>> receiptIn(const QString &link, const Receipt &receipt,
                                            const ReceiptRules &rules, qint64 now);
    Status applyEarlyReceipts(const QString &link, const QString &smscId,
                              const ReceiptRules &rules);
    static QString deliveredWhere(const ReceiptRules &rules);
    Result<bool> deliveredTogether(const QString &link, const QList<Receipt> &receipts,
                                   const ReceiptRules &rules);
    enum class Arrived { Stored, Repeated, PartKept, Unmatched };
    Result<Arrived> arriveIn(const QString &link, const Arrival &arrival, int partsPerSource,
                             qint64 now);
    Result<bool> seenBefore(const QString &link, const Arrival &arrival, qint64 now);
    Status forgetMarks(const QString &link, qint64 now);
    Status capParts(const QString &link, const QString &source, int partsPerSource);
    struct WaitingPart {
        QString source;
        QString destination;
        int reference = 0;
        int total = 0;
        int part = 0;
        QString text;
        QVariant at;
    };
    Result<int> moveMessage(const QString &link, const QString &source, const QString &destination,
                            int reference, int total);
    Result<bool> moveToUnmatched(const QString &link, const WaitingPart &part);
    // One answer, each of its changes a statement of its own.
    Status recordOne(const QString &link, const Answer &answer, qint64 now,
                     const ReceiptRules &rules, QList<Doubtful> &doubtful);
    Status recordSubmitted(const QString &link, const QList<const Answer *> &answers, qint64 now,
                           const ReceiptRules &rules, QList<Doubtful> &doubtful);
    static constexpr qsizetype MostPartsAtOnce = 500;
    Status keepDoubtful(const QString &link, const Doubtful &doubtful);
    Status refund(qint64 id, qint64 now);
    Result<int> expire(const QString &link, qint64 validityMs, int most);
    Result<std::optional<QString>> serviceNumberOf(const QString &destination);

    qint64 nowMs() const;

    LocalGateway &m_gateway;
    Store &m_store;
    QString m_process;
    LocalGateway::Clock m_clock;
};
