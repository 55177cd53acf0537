#pragma once

// quillet-gatewayd as an SMSC for its accounts' applications: SMPP 3.4 binds with an
// account's credentials, whose submits go the way the messages API's do.
//
//   listener ── SmppServerSession per connection (framing, phases, answers)
//   bind ── failed binds of its address or system_id past the limit: ESME_RBINDFAIL
//       ── more binds of the system_id than max_binds_per_account: ESME_RBINDFAIL
//       ── WorkerPool, slow lane: the credentials and the password's hash checked, the
//          bind's row written ── bound | after a delay ESME_RINVSYSID / ESME_RINVPASWD
//   submit_sm ── the account's rate (ESME_RTHROTTLED) ── WorkerPool, write lane: checked
//       (SmppSubmit), then ApplicationApi::send in the next group commit ── once it is
//       durable, submit_sm_resp with the message's id (the one GET /v1/messages/{id} knows)
//   query_sm / cancel_sm ── ApplicationApi::message / cancel, as the messages API's
//   every few seconds ── each bind's row seen again with its counts; a row gone (its
//       credentials revoked or made again) ends the bind with unbind
//   every PollMs, while a receiver is bound ── Outbox::claimSmpp for the accounts with
//       one (as much as their windows hold; what was settled since, in the same commit)
//       ── each receipt or arrival to a receiver of its account ── deliver_sm
//       ── deliver_sm_resp 0: delivered (an arrival fetched with it); another status:
//          again after 1 s doubling; the session lost: again at once
//
// A receipt or an arrival is claimed with a lease of a few response time-outs: a process
// killed with some in flight leaves them to the next claim once it runs out, so the
// application may get one twice (the same receipted_message_id) and loses none.

// Answers come back from the workers by session id: a session gone by then is simply
// not answered. The server must outlive the pool it posts to.

#include "gateway/local/outbox.h"
#include "gateway/status.h"
#include "service/failurewindow.h"
#include "service/link/smpppdu.h"
#include "service/ratelimiter.h"
#include "service/smppserversettings.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSslConfiguration>
#include <QTcpServer>
#include <QTimer>

#include <atomic>

#include <functional>
#include <optional>

class SmppServerSession;
class WorkerPool;

class SmppServer : public QObject {
    Q_OBJECT

public:
    struct Options {
        SmppServerSettings settings;
        // With settings.tls, the service's certificate and key.
        std::optional<QSslConfiguration> tls;
        // Failed binds an address or a system_id may make per window.
        int failureLimit = 10;
        int failureWindowMs = 60'000;
        // Submits an account may make a second.
        int ratePerSecond = 100;
        // Where each line about binds goes.
        std::function<void(const QString &)> log;
    };

    SmppServer(Options options, WorkerPool &pool, QObject *parent = nullptr);
    ~SmppServer() override;

    Status start(quint16 &bound);
    // Unbinds every bound session and closes the rest.
    void stop();
    // Safe from any thread: receipts or arrivals may be waiting for a bind now. Wakes
    // made while one waits to run are taken by it.
    void wake();
    int sessions() const { return int(m_sessions.size()); }
    // From a reload: the failed-bind limits and the accounts' rate, as the HTTP side's.
    void setLimits(int failureLimit, int failureWindowMs, int ratePerSecond);

    // From a session.
    void checkBind(SmppServerSession &session, quint32 sequence, const Smpp::BindRequest &bind);
    void submit(SmppServerSession &session, const Smpp::Pdu &pdu);
    void lookUp(SmppServerSession &session, const Smpp::Pdu &pdu);
    // How an event handed to deliver() ended on the session.
    void delivered(const SmppServerSession &session, qint64 eventId, quint32 status);

    static constexpr int PollMs = 200;
    static constexpr int SweepEveryMs = 5'000;
    // Events claimed at most at once.
    static constexpr int MostClaimed = 500;

private:
    class Listener;
    void accept(qintptr descriptor);
    void ended(quint64 id);
    void touch();
    // Runs `work` on the event loop's thread for the session, if it is still there.
    void later(quint64 id, std::function<void(SmppServerSession &)> work);
    void poll();
    void handOut(const QList<Outbox::SmppEvent> &events);

    Options m_options;
    WorkerPool &m_pool;
    QString m_process;
    Listener *m_listener = nullptr;
    quint64 m_nextId = 1;
    QHash<quint64, SmppServerSession *> m_sessions;
    FailureWindow m_byAddress;
    FailureWindow m_bySystemId;
    RateLimiter m_rate;
    QTimer m_touch;
    QTimer m_poll;
    QElapsedTimer m_swept;
    bool m_claiming = false;
    // Woken while a claim ran: another once it is done.
    bool m_pollAgain = false;
    std::atomic<bool> m_wakeWaiting = false;
    // Settled here, not yet in the store: written with the next claim.
    QList<Outbox::Settled> m_settled;
    struct Handed {
        quint64 session = 0;
        int attempts = 0;
        bool arrival = false;
    };
    QHash<qint64, Handed> m_handed;
};
