#pragma once

// The store as the queue of the links to SMSCs, and where what they hear is written.
//
//   claim() ── queued messages of a link, due, held by this process for a lease
//   record() ── the SMSC's answers: submitted (with its ids), try again later, rejected
//   receipt() ── a delivery receipt: the part's state, then the message's
//   arrive() ── a message from the network: once, joined when it came in parts, to the
//               account whose service number begins its destination
//
// A claim is a lease, not a lock held over the network: a process that dies with
// messages in flight leaves them to any process once the lease runs out, so a message is
// never lost and is sent at most once more. Every answer is recorded only by the process
// that holds the claim. A message rejected for good is refunded by a ledger row, once.

#include "gateway/local/localgateway.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

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
    // All in one transaction, written to the disk before it returns. An answer for a
    // message this process no longer holds changes nothing.
    Status record(const QString &link, const QList<Answer> &answers);

    // A receipt's final state: delivered, undeliverable, expired or rejected; empty for a
    // state on the way (en route, accepted, unknown).
    struct Receipt {
        QString smscId;
        QString state;
        QString source;
        QString destination;
        QString text;
    };
    // False when no part has that id: the receipt is kept for the operator, and applied
    // if a part is recorded with that id later (its answer may still be on its way).
    Result<bool> receipt(const QString &link, const Receipt &receipt);

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
        // Its text could not be read (it holds the octets in hex): kept for the operator.
        bool unreadable = false;
    };
    enum class Arrived { Stored, Repeated, PartKept, Unmatched };
    Result<Arrived> arrive(const QString &link, const Arrival &arrival);

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

    // An arrival seen again within this time is the network repeating itself.
    static constexpr qint64 RepeatWindowMs = 5 * 60 * 1000;

private:
    Result<bool> applyReceipt(const QString &link, const Receipt &receipt);
    Status refund(qint64 id, qint64 now);
    Result<std::optional<QString>> serviceNumberOf(const QString &destination);

    LocalGateway &m_gateway;
    Store &m_store;
    QString m_process;
};
