#pragma once

// One configured link to an SMSC: its sessions (one transceiver, or a transmitter and a
// receiver), bound again with back-off whenever they end, and the messages it carries.
//
//   store: claim ── parts (SmppMapping) ── submit_sm, as the SubmitWindow lets them go
//   ── submit_sm_resp: submitted (ids) | throttled: later | refused: rejected
//   ── record, one transaction per turn of the event loop
//   deliver_sm of a turn: receipts ── their messages' states; arrivals ── the accounts;
//   one transaction, and each answered once the store has it (an error if it failed)
//   now and then: parts that waited too long and old unmatched entries tidied away
//
// Lives on the links' thread, reaches the store through LinkStore only, and tells its
// LinkObserver what it does.

#include "gateway/linkstore.h"
#include "service/link/linkobserver.h"
#include "service/link/linksettings.h"
#include "service/link/smpppdu.h"
#include "service/link/submitwindow.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <functional>

class SmppSession;

class SmscLink : public QObject {
    Q_OBJECT

public:
    using Log = std::function<void(const QString &)>;
    using Clock = SubmitWindow::Clock;
    // `settings`, `store`, `log` and `observer` outlive this object. Pacing, and how long
    // ago an arrival was answered, are read from `clock` (by default, a steady clock).
    SmscLink(const LinkSettings &settings, LinkStore &store, const Log &log, LinkObserver &observer,
             QObject *parent = nullptr, Clock clock = {});
    ~SmscLink() override;

    void start();
    // Hands back what it holds (to be sent by any process at once) and unbinds.
    void stop();
    // Messages may be waiting: look now rather than at the next poll.
    void wake();

    LinkStore::LinkState state() const;

    // Whether the link has been unbound (or not yet bound), or answered with nothing but
    // throttling, for longer than `ms`.
    bool downLongerThan(qint64 ms) const;
    // The links whose messages this one takes too, while they are down.
    void standIn(const QStringList &links);

private:
    // Bound, but throttled through for longer than its fallback waits.
    bool leftToFallback() const;
    qint64 throttledLapseMs() const;

    struct Message {
        qint64 id = 0;
        int tries = 0;
        int parts = 0;
        QStringList smscIds;
        int accepted = 0;
    };
    struct Part {
        qint64 message = 0;
        int index = 0;
        Smpp::ShortMessage pdu;
    };

    void enter(LinkObserver::State state);
    void windowChanged();
    void connectSessions();
    void sessionBound();
    void sessionLost(const QString &why);
    void refused(quint32 status);
    void dropSessions();
    SmppSession *sender() const;
    bool isBound() const;
    void pump();
    void pumpSoon();
    int claimAhead() const;
    bool claimMore(int most);
    Result<QList<LinkStore::Outgoing>> claimFromStore(int most);
    void take(const Status &written, const Result<QList<LinkStore::Outgoing>> &claimed);
    void answered(const Smpp::Pdu &pdu);
    void timedOut(quint32 sequence);
    void incoming(SmppSession *session, const QList<Smpp::Pdu> &deliveries);
    void writeDeliveries(bool mayClaim = true);
    void receiptMatched(LinkStore::IdForm form);
    void doubtRecentAnswers();
    void tidy();
    // Ends a message with `answer`; the rest of its parts are not sent.
    void finish(qint64 id, LinkStore::Answer answer);
    void retryLater(qint64 id, const QString &why);
    void handBackAll(const QString &why);
    void flush();
    void writeState();
    qint64 now() const;

    const LinkSettings &m_settings;
    LinkStore &m_store;
    const Log &m_log;
    LinkObserver &m_observer;
    QPointer<SmppSession> m_transmitter; // the transceiver, when there is one
    QPointer<SmppSession> m_receiver;
    QTimer m_reconnect;
    int m_backoffMs = 0;
    bool m_stopped = false;
    QString m_state;
    std::optional<qint64> m_boundSince;
    QString m_lastError;
    qint64 m_sent = 0;
    qint64 m_received = 0;
    // Receipts in a row that found their message only by a conversion of their id.
    int m_convertedInARow = 0;
    QStringList m_standingIn;
    std::optional<LinkStore::LinkState> m_written; // as the store has it
    qint64 m_writtenAt = 0;
    qint64 m_downSince = 0; // on the link's clock; -1 while bound
    qint64 m_throttledSince = -1; // the first throttling since the last message taken
    qint64 m_lastThrottledAt = -1;
    qint64 m_probedAt = -1; // the last message sent while left to the fallback
    bool m_toldConversion = false;
    // The last claim found fewer than it asked for: the next is left to a wake or the poll.
    bool m_queueLooksEmpty = false;

    QHash<qint64, Message> m_messages;
    QList<Part> m_pending;
    QHash<quint32, Part> m_inFlight;
    QList<LinkStore::Answer> m_answers;
    // deliver_sm read and not yet written, each with the session to answer on.
    struct Incoming {
        QPointer<SmppSession> session;
        Smpp::Pdu pdu;
    };
    QList<Incoming> m_incoming;
    // The arrivals answered on the sessions bound now, by sequence number, that the
    // SMSC may send again with the same number; the oldest are forgotten first.
    QHash<std::pair<const SmppSession *, quint32>, QByteArray> m_answeredSequences;
    QList<std::pair<const SmppSession *, quint32>> m_sequenceOrder;
    // The arrivals answered lately (at m_clock's milliseconds, digest): a session that drops
    // may not have carried these answers, and the SMSC may send them again.
    QList<std::pair<qint64, QByteArray>> m_recentAnswers;
    QTimer m_flush;
    QTimer m_deliverLater;
    QTimer m_tidy;
    QTimer m_poll;
    QTimer m_pumpLater;
    QTimer m_stateTimer;
    Clock m_clock;
    SubmitWindow m_window;
};
