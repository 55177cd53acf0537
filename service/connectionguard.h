#pragma once

// The listening socket of quillet-gatewayd, and the watch it keeps on every connection
// before Qt HttpServer parses it:
//
//   accept ── over the overall or per-peer cap? ── 503, closed
//      └── (TLS handshake) ── ConnectionGuard sees every byte first ── QAbstractHttpServer
//            header too long ─────────── 431, closed          parses and hands the request
//            body over the limit ─────── 413, closed          to GatewayService, which
//            no Content-Length framing ─ 411, closed          answers through answer()
//            a second request before the answer ── 400, closed
//            request not complete in time ─────── 408, closed
//            idle between requests too long ───── closed
//   answer() ── HTTP/1.0 or "Connection: close" ── closed after the answer
//
// Qt HttpServer 6.4 itself keeps a connection that sent half a header for ever and never
// closes after an HTTP/1.0 exchange; this class gives every connection a bounded life.

#include <QHash>
#include <QHostAddress>
#include <QPointer>
#include <QSslConfiguration>
#include <QTcpServer>

#include <memory>
#include <optional>

class QTcpSocket;
class QTimer;

class ConnectionGuard : public QTcpServer {
    Q_OBJECT

public:
    struct Limits {
        int maxConnections = 512;
        int maxPerPeer = 64;
        int maxHeaderBytes = 16 * 1024;
        qint64 maxBodyBytes = 64 * 1024;
        // From a request's first byte (or the connection's start) to its last byte.
        int requestTimeoutMs = 10'000;
        // Between the answer and the next request's first byte.
        int idleTimeoutMs = 30'000;
        // From a request's last byte to its answer.
        int answerTimeoutMs = 120'000;
    };

    ConnectionGuard(const Limits &limits, std::optional<QSslConfiguration> tls,
                    QObject *parent = nullptr);
    ~ConnectionGuard() override;

    // A connection's number, never reused in this process; 0 for a socket not watched.
    quint64 idOf(QTcpSocket *socket) const;
    // Writes an answer on connection `id` (JSON body, and `headers`: lines ending in CRLF)
    // and closes the connection afterwards when the request asked for that. Nothing
    // happens when it is gone.
    void answer(quint64 id, int status, const QByteArray &json, const QByteArray &headers = {});
    // Writes out what is waiting and closes every connection: the last step of stopping.
    void closeAll();
    // Connections accepted and not yet closed.
    int connectionCount() const { return int(m_connections.size()); }

    static QByteArray reasonPhrase(int status);

Q_SIGNALS:
    // A connection refused or cut by the guard: for the request log.
    void refused(const QHostAddress &peer, int status, const QString &why);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection;

    void watch(QTcpSocket *socket);
    void onReadyRead(Connection &connection);
    bool takeHeader(Connection &connection);
    void onTimeout(Connection &connection);
    void reject(Connection &connection, int status, const QString &why);
    void forget(QObject *socket);
    void turnAway(QTcpSocket *socket, const QHostAddress &peer);

    Limits m_limits;
    std::optional<QSslConfiguration> m_tls;
    QHash<QObject *, std::shared_ptr<Connection>> m_connections;
    QHash<quint64, QObject *> m_ids;
    quint64 m_lastId = 0;
    QHash<QHostAddress, int> m_perPeer;
};
