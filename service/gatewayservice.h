#pragma once

// quillet-gatewayd's HTTP side: every GatewayClient operation and the operator's
// operations as JSON over HTTP/1.1, on the gateway's rules.
//
//   ConnectionGuard (caps, framing, timeouts) ── QAbstractHttpServer parses ──
//   ── handleRequest: route, rate limit ── WorkerPool thread:
//        bearer token ── role ── JSON checks ── Idempotency-Key ── Operations::run
//   ── answer posted back ── ConnectionGuard::answer ── one log line
//
// The process keeps no state of its own beyond the failed-authentication counts per
// peer address: accounts, tokens and remembered answers are all in the store, so any
// number of service processes may share one.

#include "connectionguard.h"
#include "status.h"
#include "storelocation.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>

#include <functional>
#include <memory>
#include <optional>

class WorkerPool;

class GatewayService : public QAbstractHttpServer {
    Q_OBJECT

public:
    struct Options {
        StoreLocation store;
        int workers = 4;
        ConnectionGuard::Limits limits;
        std::optional<QSslConfiguration> tls;
        // Failed authentications a peer address may make per window before it gets
        // 429 for the rest of the window.
        int authFailureLimit = 10;
        int authWindowMs = 60'000;
        // Receives one line per request; standard error when empty.
        std::function<void(const QString &)> log;
    };

    explicit GatewayService(Options options, QObject *parent = nullptr);
    ~GatewayService() override;

    // Listens on `address`; refuses a non-loopback address without TLS.
    Status start(const QHostAddress &address, quint16 port, quint16 &bound);
    // Stops accepting; `stopped` is emitted once every request in flight is answered.
    void stop();
    int inFlight() const { return m_inFlight; }

Q_SIGNALS:
    void stopped();

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Reply {
        int status = 200;
        QByteArray json;
        bool authFailed = false;
    };

    void finish(quint64 connection, const QHostAddress &peer, const QString &operation,
                const QElapsedTimer &timer, const Reply &reply);
    void finishStopping();
    void logLine(const QHostAddress &peer, const QString &operation, int status, double ms);
    void writeLog(const QString &line);
    bool blocked(const QHostAddress &peer);

    static constexpr qsizetype MaxTrackedPeers = 4096;

    Options m_options;
    ConnectionGuard *m_guard = nullptr;
    std::unique_ptr<WorkerPool> m_pool;
    int m_inFlight = 0;
    bool m_stopping = false;
    struct Failures {
        int count = 0;
        qint64 windowStartMs = 0;
    };
    QHash<QHostAddress, Failures> m_failures;
    QElapsedTimer m_clock;
};
