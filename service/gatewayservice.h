#pragma once

// quillet-gatewayd's HTTP side: every GatewayClient operation and the operator's
// operations as JSON over HTTP/1.1, on the gateway's rules.
//
//   ConnectionGuard (caps, framing, timeouts) ── QAbstractHttpServer parses ──
//   ── handleRequest: route ── WorkerPool thread (slow lane when it hashes a password):
//        bearer token ── role ── JSON checks ── failed sign-ons ── Idempotency-Key ──
//        ── (a call that writes: the next batch's transaction, see WorkerPool)
//        ── the token's sign-on of the account ── Operations::run
//   ── answer posted back ── failed authentications ── ConnectionGuard::answer ──
//   ── ServiceLog (the journal for refusals and failures; the request log for all)
//   GET /metrics: bearer token of role operator (on a worker) ── ServiceMetrics::render
//   ServiceMetrics is told of each request answered, of the connections, of commits and
//   of the store's failures.
//
// The process keeps no state of its own beyond the counts of failures (authentications
// per peer address, sign-ons per token and account): accounts, tokens, sign-ons and
// remembered answers are all in the store, so any number of service processes may share
// one. A valid token is always served; only failures are limited.

#include "gateway/local/localgateway.h"
#include "gateway/local/storelocation.h"
#include "gateway/status.h"
#include "service/connectionguard.h"
#include "service/failurewindow.h"
#include "service/ratelimiter.h"
#include "service/servicetexts.h"

#include <QAbstractHttpServer>
#include <QHostAddress>

#include <functional>
#include <memory>
#include <optional>

struct CallbackSetup;
class ServiceLog;
class ServiceMetrics;
class WorkerPool;

class GatewayService : public QAbstractHttpServer {
    Q_OBJECT

public:
    struct Options {
        StoreLocation store;
        int workers = 4;
        ConnectionGuard::Limits limits;
        std::optional<QSslConfiguration> tls;
        // Failed authentications a peer address may make per window before its failures
        // are answered 429 for the rest of the window (valid tokens are served as ever).
        int authFailureLimit = 10;
        int authWindowMs = 60'000;
        // Failed sign-ons (register) a token may make per window, on one account and on
        // all; past either, its sign-ons get 429 until the window closes. Same window.
        int signOnFailureLimit = 5;
        int signOnTokenFailureLimit = 20;
        // Requests an application's token may make a second (a second's worth at once);
        // past it, 429 with Retry-After.
        int applicationRateLimit = 100;
        // Worker threads that may hash passwords at once; the others serve the rest.
        int hashingSlots = 2;
        // Calls that write, committed together at most (1: each on its own), and how long
        // a batch that is not full may wait for calls being checked (see WorkerPool).
        int batchMost = 64;
        int batchWaitUs = 2'000;
        // Each worker's gateway: what a password hash costs (tests and benchmarks of the
        // rules take the least), where a message to a phone leaves and who is told when
        // messages were queued for a link (none without links).
        LocalGateway::Options gateway;
        // Where each answer and the guard's notices go, which outlives the service; none:
        // a log of its own, every refusal and failure to standard error.
        ServiceLog *log = nullptr;
        // The process's metrics, which outlive the service; none: a registry of its own.
        ServiceMetrics *metrics = nullptr;
        // Told on a worker thread after each commit that wrote something (an event for a
        // callback may be among it).
        std::function<void()> wrote;
        // The key of callback secrets and where callbacks may go; none: the callback
        // routes are refused.
        std::shared_ptr<const CallbackSetup> callbacks;
    };

    explicit GatewayService(Options options, QObject *parent = nullptr);
    ~GatewayService() override;

    // Listens on `address`; refuses a non-loopback address without TLS.
    Status start(const QHostAddress &address, quint16 port, quint16 &bound);
    // Stops accepting; `stopped` is emitted once every request in flight is answered.
    void stop();
    // Takes from `options` what a reload may change: the TLS configuration (for the
    // connections accepted from now on), the connection limits and the failure limits.
    // The rest stays as it started.
    void reload(const Options &options);
    // The workers, once started: the SMPP server's submits join their group commits.
    WorkerPool *workers() const { return m_pool.get(); }

    // What a request is answered.
    struct Reply {
        // 200 with a call's answer.
        static Reply answered(QByteArray json);
        // The refusal's status and error, its text taking `value` (see ServiceTexts).
        static Reply refused(ServiceTexts::Refusal refusal, const QString &value = {});
        // 503 store_unavailable for the store's failure `why`.
        static Reply storeFailed(const Status &why);

        int status = 200;
        // The body: JSON, unless contentType names another type.
        QByteArray json;
        // A failed authentication (401): past its address's limit it is answered 429.
        bool authFailed = false;
        // For 429: when the client may try again.
        qint64 retryAfterMs = 0;
        // For the log only: what the client is not told (where the store is, say).
        QString detail;
        // For the metrics only: the code of the store's failure behind a 503
        // store_unavailable (0: none), and whether a keyed request's transaction committed.
        qint32 storeFailure = 0;
        bool committed = false;
        QByteArray contentType {};
    };
    struct SignOnFailures {
        FailureWindow perToken;
        FailureWindow perAccount;
        // Not a failure: what an application's valid token asks, per second.
        RateLimiter applications;
    };
    // The console tokens verified before, for the sends that check in their own statement
    // that their token still stands (see KeyedCall::sendAtOnce): those skip the lookup.
    class KnownTokens;

Q_SIGNALS:
    void stopped();

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    bool serveMetrics(const QHttpServerRequest &request, quint64 target, const QHostAddress &peer,
                      const QElapsedTimer &timer);
    void finish(quint64 connection, const QHostAddress &peer, const QString &operation,
                const QElapsedTimer &timer, const Reply &reply);
    void finishStopping();
    using Answer = std::function<void(const Reply &)>;
    Answer answerLater(quint64 target, const QHostAddress &peer, const QString &operation,
                       const QElapsedTimer &timer);

    Options m_options;
    std::unique_ptr<ServiceMetrics> m_ownMetrics;
    ServiceMetrics *m_metrics = nullptr;
    ServiceLog *m_log = nullptr;
    ConnectionGuard *m_guard = nullptr;
    std::unique_ptr<WorkerPool> m_pool;
    int m_inFlight = 0;
    bool m_stopping = false;
    FailureWindow m_authFailures;
    std::unique_ptr<SignOnFailures> m_signOnFailures;
    std::unique_ptr<KnownTokens> m_knownTokens;
};
