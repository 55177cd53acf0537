#pragma once

// What the gateway tells an application, and how it is handed out to be sent.
//
//   setCallback() / removeCallback() ── an account's callback: URL, events, sealed secret
//   store triggers ── an outbox row in the transaction of the change it reports
//                     (a message reaching a final state, an arrival), whatever made it
//   claim() ── due rows, the earliest pending one of each message only, held by this
//              process for a lease
//   delivered() / failed() ── settled by the claim's holder only: delivered, tried
//                             again at a later time, or dead
//   list() / replay() ── for the operator: what is pending or dead, and sending again
//   claimSmpp() ── the SMPP server's side: receipts and arrivals for the receivers of
//                  accounts bound in this process, with the same leases
//
// A claim is a lease, as the links' claims are: a process that dies with events in
// flight leaves them to any process once the lease runs out, so an event is never lost,
// and while the lease holds no other process sends it. An application may get an event
// twice (the same id), never a later state of a message before an earlier one.
//
// The secret is kept here only sealed; sealing, signing and sending belong to the
// service, which holds the key.

#include "gateway/local/localgateway.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QString>

#include <optional>

class Outbox {
public:
    // `gateway` outlives this object; `process` names this process's claims.
    Outbox(LocalGateway &gateway, QString process);

    struct Callback {
        QString url;
        bool onState = false;
        bool onArrival = false;
        QByteArray sealedSecret;
    };
    // False when there is no such account. A callback set again replaces the last.
    Result<bool> setCallback(const QString &accountNo, const Callback &callback);
    // False when none was set. Events already written stay pending until a callback is
    // set again (an arrival taken for it is no longer waiting for anyone else).
    Result<bool> removeCallback(const QString &accountNo);
    Result<std::optional<Callback>> callback(const QString &accountNo);

    struct Event {
        qint64 id = 0;
        qint64 accountId = 0;
        QString accountNo;
        QString type; // message.state or arrival
        qint64 subject = 0; // the message's id (mt or mo)
        QString state; // message.state: the state it reached
        qint64 at = 0; // when the change was written
        int attempts = 0;
        QString delivery; // pending, delivered or dead
        QString lastError;
        QString url; // the account's callback now
        QByteArray sealedSecret;
    };
    // How a request for an event ended: delivered, or failed with `error` and tried
    // again at `retryAt`, or dead without one.
    struct Settled {
        qint64 id = 0;
        bool delivered = false;
        QString error;
        std::optional<qint64> retryAt;
        // An arrival sent to an SMPP receiver: delivered, its message is fetched with it.
        bool arrival = false;
    };
    // Up to `most` due events of accounts with a callback, held until now + leaseMs;
    // in the same transaction, first, the events of `settled` (only those this process
    // still holds change). One commit a round for a sender that settles what it sent
    // and takes more.
    Result<QList<Event>> claim(int most, qint64 leaseMs, const QList<Settled> &settled = {});
    // One event settled; false when this process no longer holds it.
    Result<bool> delivered(qint64 id);
    Result<bool> failed(qint64 id, const QString &error, std::optional<qint64> retryAt);

    // A receipt or an arrival for an account's SMPP receivers (destination 'smpp').
    struct SmppEvent {
        qint64 id = 0;
        qint64 accountId = 0;
        bool arrival = false; // else a receipt
        qint64 subject = 0; // the message's id (mt or mo)
        QString state; // a receipt: the final state the message reached
        qint64 at = 0; // a receipt: when the event was written
        // A receipt: when the message reached that state, on the gateway's clock; none
        // when the message has moved on since, or reached it before the store kept it.
        std::optional<qint64> doneAt;
        int attempts = 0;
        QString from; // a receipt: the message's phone; an arrival: its sender
        QString to; // the account's service number (an arrival's with its extension)
        QString text;
        qint64 submittedAt = 0; // a receipt: when the message was submitted
    };
    // Up to `most` due SMPP events of `accountIds` (those with a receiver bound in this
    // process), oldest first, held until now + leaseMs; first, in the same transaction,
    // the events of `settled`. With `sweep`, events kept past keepMs after they happened
    // (or past their message's validity, when that is later) end dead, and so do arrivals
    // the console or the messages API took meanwhile.
    Result<QList<SmppEvent>> claimSmpp(const QList<qint64> &accountIds, int most, qint64 leaseMs,
                                       qint64 keepMs, bool sweep,
                                       const QList<Settled> &settled = {});

    struct Arrival {
        qint64 id = 0;
        QString from;
        QString to; // service number and extension
        QString text;
        qint64 receivedAt = 0;
    };
    Result<std::optional<Arrival>> arrival(qint64 id);

    // Events after `after` by id: the dead ones, or those not yet delivered.
    Result<QList<Event>> list(bool deadOnly, qint64 after, int limit);
    // Sends an event again as soon as it can, unless a process is sending it now (all
    // the dead ones without an id); how many it took.
    Result<int> replay(std::optional<qint64> id);
    // Events by delivery state.
    Result<QMap<QString, qint64>> counts();

private:
    // Inside a transaction: how many of them this process held.
    Result<int> settleHeld(const QList<Settled> &settled, qint64 now);
    Result<bool> settleOne(const Settled &settled);

    LocalGateway &m_gateway;
    Store &m_store;
    QString m_process;
};
