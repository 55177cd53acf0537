#pragma once

// The store as the queue of the links to SMSCs, and where what they hear is written.
//
//   claim() ── queued messages of a link, due, held by this process for a lease
//   record() ── the SMSC's answers: submitted (with its ids), try again later, rejected
//   deliver() ── a turn's deliver_sm, in one transaction: a delivery receipt moves its
//                part's state, then its message's; a message from the network goes,
//                once, joined when it came in parts, to the account whose service
//                number begins its destination
//   doubt() ── arrivals whose answers a dropped session may not have carried
//   tidy() ── parts that waited too long, and old unmatched entries
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

#include "gateway/local/localgateway.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class LinkQueue {
public:
    // `gateway` outlives this object; `process` names this process's claims.
    LinkQueue(LocalGateway &gateway, QString process);

    struct Outgoing {
        qint64 id = 0;
        QString phone;
        QString text;
        int tries = 0;
        QString source; // the account's service number
    };
    // Up to `most` messages queued for `link` and due, held until now + leaseMs.
    Result<QList<Outgoing>> claim(const QString &link, int most, qint64 leaseMs);

    struct Answer {
        enum class Kind { Submitted, Retry, Rejected };
        qint64 id = 0;
        Kind kind = Kind::Retry;
        QStringList smscIds; // Submitted: each part's, in order
        qint64 retryAt = 0; // Retry
        QString reason; // Retry and Rejected
    };
    // A part the SMSC took with an id that cannot find it again: none at all, or one it
    // had already given to a part of another message still waiting for its receipt. The
    // part is submitted all the same, and kept in link_unmatched for the operator.
    struct Doubtful {
        qint64 message = 0;
        int part = 0; // from 1
        QString smscId;
        qint64 heldBy = 0; // the other message with that id; 0 for no id
    };
    // All in one transaction, written to the disk before it returns. An answer for a
    // message this process no longer holds changes nothing.
    Result<QList<Doubtful>> record(const QString &link, const QList<Answer> &answers);

    // A receipt's final state: delivered, undeliverable, expired or rejected; empty for a
    // state on the way (en route, accepted, unknown).
    struct Receipt {
        QString smscId;
        QString state;
        QString source;
        QString destination;
        QString text;
    };

    struct Arrival {
        QString source;
        QString destination;
        QString text;
        // Set for a part of a concatenated message.
        quint16 reference = 0;
        int total = 1;
        int part = 1;
        // What the network sent, to know it again.
        QByteArray digest;
        // The SMSC's own id of the message, where it gives one: a deliver_sm with the
        // same id and digest within RepeatWindowMs is the SMSC sending it again.
        QString smscId;
        // Its text could not be read (it holds the octets in hex): kept for the operator.
        bool unreadable = false;
    };

    // One deliver_sm, as the link read it.
    struct Delivery {
        std::optional<Receipt> receipt; // else the arrival
        Arrival arrival;
    };
    // Each delivery's outcome, in order, all in one transaction written to the disk before
    // it returns; each runs in a savepoint of its own, so that one the store refuses fails
    // alone. A receipt that no part has is kept for the operator, and applied if a part is
    // recorded with its id later (its answer may still be on its way); an id several
    // parts have finds the oldest of them still waiting for a receipt, the empty id none.
    // An arrival goes to its account once, joined when it came in parts; at most
    // `partsPerSource` parts of incomplete messages wait from one sender on the link, and
    // beyond, the oldest such message goes to link_unmatched.
    QList<Status> deliver(const QString &link, const QList<Delivery> &deliveries,
                          int partsPerSource);

    // Arrivals whose answers a session that dropped may never have carried: for `forMs`,
    // an arrival on the link with one of these digests is taken for the SMSC sending it
    // again, once for each.
    Status doubt(const QString &link, const QList<QByteArray> &digests, qint64 forMs);

    // Parts that arrived before `partsBefore` go to link_unmatched; unmatched entries
    // kept since before `unmatchedBefore` are deleted; at most `most` of each. Gives how
    // many rows it moved or deleted: `most` or more when there may be more to do.
    Result<int> tidy(const QString &link, qint64 partsBefore, qint64 unmatchedBefore, int most);

    struct LinkState {
        QString link;
        QString state;
        std::optional<qint64> boundSinceMs;
        int outstanding = 0;
        qint64 sent = 0;
        qint64 received = 0;
        QString lastError;
    };
    // This process's row for the link, for the operator's listing.
    Status writeState(const LinkState &state);
    Status forgetStates();

    // An arrival with the SMSC's id seen again within this time is the network
    // repeating itself.
    static constexpr qint64 RepeatWindowMs = 5 * 60 * 1000;

private:
    Result<bool> applyReceipt(const QString &link, const Receipt &receipt);
    Result<bool> receiptIn(const QString &link, const Receipt &receipt, qint64 now);
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
    Status keepDoubtful(const QString &link, const Doubtful &doubtful);
    Status refund(qint64 id, qint64 now);
    Result<std::optional<QString>> serviceNumberOf(const QString &destination);

    LocalGateway &m_gateway;
    Store &m_store;
    QString m_process;
};
