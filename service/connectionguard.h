#pragma once

// The listening socket of quillet-gatewayd, and the watch it keeps on every connection
// before Qt HttpServer parses it:
//
//   accept ── out of descriptors? ── paused for a moment (and a log line a minute)
//      ├── over the overall or per-peer cap? ── 503, closed
//      └── (TLS handshake) ── ConnectionGuard sees every byte first ── QAbstractHttpServer
//            header too long ─────────── 431, closed          parses and hands the request
//            too many header lines ───── 431, closed          to GatewayService, which
//            body over the limit ─────── 413, closed          answers through answer()
//            no Content-Length framing ─ 411, closed
//            a second request in the same read ── 400, closed (neither reached the service)
//            bytes while a request is answered ── dropped; its answer, then closed
//            request not complete in time ─────── 408, closed
//            nothing sent in the request time ─── closed
//            idle between requests too long ───── closed
//   answer() ── HTTP/1.0 or "Connection: close" ── closed after the answer
//   every refusal and cut (but the idle close) ── dropped(reason); each connection taken
//   or gone ── openChanged(count): for the service's metrics
//
// Qt HttpServer 6.4 itself keeps a connection that sent half a header for ever and never
// closes after an HTTP/1.0 exchange; this class gives every connection a bounded life.

#include "service/servicetexts.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>

#include <memory>
#include <optional>

class QTcpSocket;
class QSocketNotifier;
class QTimer;

class ConnectionGuard : public QTcpServer {
    Q_OBJECT

public:
    struct Limits {
        int maxConnections = 512;
        // A desktop holds one connection at a time (the remote component, the operator
        // tool); 16 leaves room for an office behind one address, and it takes 32 addresses
        // to fill the service, so that a few busy or hostile peers cannot starve the rest.
        int maxPerPeer = 16;
        int maxHeaderBytes = 16 * 1024;
        // Header lines after the request line. Qt HttpServer 6.4 keeps none of a request's
        // headers when it has more than 100 of them.
        int maxHeaderLines = 64;
        qint64 maxBodyBytes = 64 * 1024;
        // From a request's first byte (or the connection's start) to its last byte.
        int requestTimeoutMs = 10'000;
        // Between the answer and the next request's first byte.
        int idleTimeoutMs = 30'000;
        // From a request's last byte to its answer.
        int answerTimeoutMs = 120'000;
    };

    // Why a connection was refused or cut; closing one idle between requests is none.
    enum class Refusal {
        Overall, // over maxConnections
        PerPeer, // over maxPerPeer
        HeaderTooLong,
        TooManyHeaderLines,
        BodyTooLarge,
        LengthRequired, // no Content-Length framing
        Malformed, // request line, header line or Content-Length
        HttpVersion,
        Pipelined, // a second request in the same read
        RequestTimeout,
        Unanswered, // Qt HttpServer dropped the request
    };

    ConnectionGuard(const Limits &limits, std::optional<QSslConfiguration> tls,
                    QObject *parent = nullptr);
    ~ConnectionGuard() override;

    // QTcpServer's, with this class accepting the connections itself: Qt 6.4's QTcpServer
    // keeps the first error its listening socket meets ("no connection waiting", after
    // every batch), so when accept() later fails for want of a descriptor it retries at
    // once, for ever, without a word.
    bool listen(const QHostAddress &address, quint16 port);
    void close();
    // For the connections accepted from now on (and the timers started from now on).
    void setLimits(const Limits &limits) { m_limits = limits; }
    void setTls(std::optional<QSslConfiguration> tls) { m_tls = std::move(tls); }
    QTcpSocket *nextPendingConnection() override;

    // A connection's number, never reused in this process; 0 for a socket not watched.
    quint64 idOf(QTcpSocket *socket) const;
    // Writes an answer on connection `id` (a body of `contentType`, and `headers`: lines
    // ending in CRLF) and closes the connection afterwards when the request asked for
    // that. Nothing happens when it is gone.
    void answer(quint64 id, int status, const QByteArray &body, const QByteArray &headers = {},
                const QByteArray &contentType = JsonType);
    // Writes out what is waiting and closes every connection: the last step of stopping.
    void closeAll();

    static QByteArray reasonPhrase(int status);
    // The JSON error that answers `refusal`, its text taking `value`.
    static QByteArray refusalBody(ServiceTexts::Refusal refusal, const QString &value = {});
    static inline const QByteArray JsonType = QByteArrayLiteral("application/json");

Q_SIGNALS:
    // A connection refused or cut by the guard: for the request log.
    void refused(const QHostAddress &peer, int status, const QString &why);
    // A line for the service's log about accepting connections at all.
    void notice(const QString &line);
    // A connection refused or cut, by its reason; and the connections held now.
    void dropped(ConnectionGuard::Refusal reason);
    void openChanged(int connections);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection;

    void acceptWaiting();
    void watch(QTcpSocket *socket);
    void onReadyRead(Connection &connection);
    bool takeHeader(Connection &connection);
    void onTimeout(Connection &connection);
    void reject(Connection &connection, Refusal reason, ServiceTexts::Refusal answer,
                const QString &value = {});
    void forget(QObject *socket);
    void turnAway(QTcpSocket *socket, const QHostAddress &peer, Refusal reason);

    Limits m_limits;
    std::optional<QSslConfiguration> m_tls;
    QHash<QObject *, std::shared_ptr<Connection>> m_connections;
    QHash<quint64, QObject *> m_ids;
    quint64 m_lastId = 0;
    QHash<QHostAddress, int> m_perPeer;
    // Accepting stops when a connection cannot be taken (no file descriptor to spare) and
    // starts again on this timer. The log hears of it at most once a minute.
    static constexpr int AcceptRetryMs = 500;
    static constexpr qint64 AcceptNoticeMs = 60'000;
    QSocketNotifier *m_acceptor = nullptr;
    QTimer *m_acceptRetry = nullptr;
    QElapsedTimer m_acceptNoticed;
};
