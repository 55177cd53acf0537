#pragma once

// What a link to an SMSC asks of the store, in words both sides share: the link speaks
// SMPP and knows no table, the store keeps messages and knows no PDU.
//
//   claim() ──── queued messages of a link, due, held by this process for a lease
//   record() ─── the SMSC's answers: submitted (with its ids), try again later, rejected
//   deliver() ── a turn's deliver_sm, in one transaction: receipts move their messages'
//                states, messages from phones reach their accounts
//   doubt() ──── arrivals whose answers a dropped session may not have carried
//   tidy() ───── parts that waited too long, and old unmatched entries
//   writeState() the link as the operator's `links` listing shows it
//
// Every answer is recorded only by the process that holds the claim; a message the SMSC
// took is never refunded, one it rejected for good is, once.

#include "gateway/result.h"
#include "gateway/status.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

class LinkStore {
public:
    LinkStore() = default;
    virtual ~LinkStore() = default;
    LinkStore(const LinkStore &) = delete;
    LinkStore &operator=(const LinkStore &) = delete;

    struct Outgoing {
        qint64 id = 0;
        QString phone;
        QString text;
        int tries = 0;
        QString source; // the account's service number
    };
    // Up to `most` messages queued for `link` and due, held until now + leaseMs.
    virtual Result<QList<Outgoing>> claim(const QString &link, int most, qint64 leaseMs) = 0;

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
    // part is submitted all the same, and kept for the operator.
    struct Doubtful {
        qint64 message = 0;
        int part = 0; // from 1
        QString smscId;
        qint64 heldBy = 0; // the other message with that id; 0 for no id
    };
    // All in one transaction, on the disk before it returns. An answer for a message this
    // process no longer holds changes nothing.
    virtual Result<QList<Doubtful>> record(const QString &link, const QList<Answer> &answers) = 0;

    // Where a delivery receipt says its part is: still on its way (en route, accepted,
    // unknown), or at one of the ends.
    enum class ReceiptState { OnItsWay, Delivered, Undeliverable, Expired, Rejected };
    struct Receipt {
        QString smscId;
        ReceiptState state = ReceiptState::OnItsWay;
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
        // The SMSC's own id of the message, where it gives one: the same id and digest
        // again within a few minutes is the SMSC sending it again.
        QString smscId;
        // Its text could not be read (it holds the octets in hex): kept for the operator.
        bool unreadable = false;
    };

    // One deliver_sm, as the link read it.
    struct Delivery {
        std::optional<Receipt> receipt; // else the arrival
        Arrival arrival;
    };
    // Each delivery's outcome, in order, all in one transaction on the disk before it
    // returns; one the store refuses fails alone. A receipt that no part has is kept for
    // the operator, and applied if a part is recorded with its id later (its answer may
    // still be on its way). An arrival goes to its account once, joined when it came in
    // parts; at most `partsPerSource` parts of incomplete messages wait from one sender.
    virtual QList<Status> deliver(const QString &link, const QList<Delivery> &deliveries,
                                  int partsPerSource)
        = 0;

    // Arrivals whose answers a session that dropped may never have carried: for `forMs`,
    // an arrival on the link with one of these digests is taken for the SMSC sending it
    // again, once for each.
    virtual Status doubt(const QString &link, const QList<QByteArray> &digests, qint64 forMs) = 0;

    // Parts that arrived before `partsBefore` go to the operator; unmatched entries kept
    // since before `unmatchedBefore` are deleted; at most `most` of each. Gives how many
    // rows it moved or deleted: `most` or more when there may be more to do.
    virtual Result<int> tidy(const QString &link, qint64 partsBefore, qint64 unmatchedBefore,
                             int most)
        = 0;

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
    virtual Status writeState(const LinkState &state) = 0;
};
