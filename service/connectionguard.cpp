#include "service/connectionguard.h"

#include "protocol/wire.h"
#include "service/servicetexts.h"

#include <QJsonDocument>
#include <QSocketNotifier>
#include <QSslSocket>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

struct ConnectionGuard::Connection {
    enum class Phase { Header, Body, Answering };

    QPointer<QTcpSocket> socket;
    quint64 id = 0;
    QHostAddress peer;
    Phase phase = Phase::Header;
    QByteArray head;
    qint64 bodyLeft = 0;
    bool closeAfterAnswer = false;
    bool closing = false;
    QTimer *timer = nullptr;
};

namespace {

using Answer = ServiceTexts::Refusal;

QByteArray response(int status, const QByteArray &body, bool close, const QByteArray &headers = {},
                    const QByteArray &contentType = ConnectionGuard::JsonType)
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' '
        + ConnectionGuard::reasonPhrase(status) + "\r\nContent-Type: " + contentType
        + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + headers;
    if (close)
        out += "Connection: close\r\n";
    return out + "\r\n" + body;
}

} // namespace

ConnectionGuard::ConnectionGuard(const Limits &limits, std::optional<QSslConfiguration> tls,
                                 QObject *parent)
    : QTcpServer(parent)
    , m_limits(limits)
    , m_tls(std::move(tls))
    , m_acceptRetry(new QTimer(this))
{
    m_acceptRetry->setSingleShot(true);
    m_acceptRetry->setInterval(AcceptRetryMs);
    connect(m_acceptRetry, &QTimer::timeout, this, [this] {
        if (m_acceptor)
            m_acceptor->setEnabled(true);
    });
}

ConnectionGuard::~ConnectionGuard()
{
    // Before QTcpServer closes the descriptor it watches.
    delete m_acceptor;
    // The sockets may outlive this object by a moment (deleteLater); they must not call
    // back into it.
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it.value()->socket)
            it.value()->socket->disconnect(this);
    }
}

QByteArray ConnectionGuard::reasonPhrase(int status)
{
    static const QHash<int, QByteArray> phrases = {
        { 200, "OK" },
        { 400, "Bad Request" },
        { 401, "Unauthorized" },
        { 403, "Forbidden" },
        { 404, "Not Found" },
        { 405, "Method Not Allowed" },
        { 408, "Request Timeout" },
        { 411, "Length Required" },
        { 413, "Content Too Large" },
        { 415, "Unsupported Media Type" },
        { 422, "Unprocessable Content" },
        { 429, "Too Many Requests" },
        { 431, "Request Header Fields Too Large" },
        { 500, "Internal Server Error" },
        { 503, "Service Unavailable" },
        { 505, "HTTP Version Not Supported" },
    };
    return phrases.value(status, "Error");
}

QByteArray ConnectionGuard::refusalBody(ServiceTexts::Refusal refusal, const QString &value)
{
    return QJsonDocument(Wire::errorJson(ServiceTexts::refusalOf(refusal).code,
                                         ServiceTexts::refusalText(refusal, value)))
        .toJson(QJsonDocument::Compact);
}

bool ConnectionGuard::listen(const QHostAddress &address, quint16 port)
{
    if (!QTcpServer::listen(address, port))
        return false;
    pauseAccepting();
    m_acceptor = new QSocketNotifier(socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptor, &QSocketNotifier::activated, this, &ConnectionGuard::acceptWaiting);
    return true;
}

void ConnectionGuard::close()
{
    delete m_acceptor;
    m_acceptor = nullptr;
    m_acceptRetry->stop();
    QTcpServer::close();
}

QTcpSocket *ConnectionGuard::nextPendingConnection()
{
    QTcpSocket *socket = QTcpServer::nextPendingConnection();
    // QTcpServer turns its own accepting back on here; it stays off.
    if (isListening())
        pauseAccepting();
    return socket;
}

void ConnectionGuard::acceptWaiting()
{
    while (m_acceptor) {
        const int descriptor = ::accept4(int(socketDescriptor()), nullptr, nullptr, SOCK_CLOEXEC);
        if (descriptor >= 0) {
            incomingConnection(descriptor);
            Q_EMIT newConnection();
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors (or memory): the waiting connection would wake this at once
        // and for ever. It waits for the timer instead.
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        m_acceptor->setEnabled(false);
        m_acceptRetry->start();
        if (!m_acceptNoticed.isValid() || m_acceptNoticed.hasExpired(AcceptNoticeMs)) {
            m_acceptNoticed.start();
            Q_EMIT notice(ServiceTexts::acceptPaused(why, AcceptRetryMs));
        }
        return;
    }
}

void ConnectionGuard::incomingConnection(qintptr descriptor)
{
    QTcpSocket *socket = m_tls ? new QSslSocket(this) : new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    const QHostAddress peer = socket->peerAddress();
    if (m_connections.size() >= m_limits.maxConnections) {
        turnAway(socket, peer, Refusal::Overall);
        return;
    }
    if (m_perPeer.value(peer) >= m_limits.maxPerPeer) {
        turnAway(socket, peer, Refusal::PerPeer);
        return;
    }
    watch(socket);
    if (!m_tls) {
        addPendingConnection(socket);
        return;
    }
    auto *tls = static_cast<QSslSocket *>(socket);
    tls->setSslConfiguration(*m_tls);
    connect(tls, &QSslSocket::encrypted, this, [this, tls] {
        addPendingConnection(tls);
        Q_EMIT newConnection();
    });
    connect(tls, &QSslSocket::sslErrors, tls, [tls] { tls->abort(); });
    tls->startServerEncryption();
}

void ConnectionGuard::turnAway(QTcpSocket *socket, const QHostAddress &peer, Refusal reason)
{
    Q_EMIT refused(peer, ServiceTexts::refusalOf(Answer::TooManyConnections).status,
                   ServiceTexts::refusalText(Answer::TooManyConnections));
    Q_EMIT dropped(reason);
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (m_tls) {
        // No handshake for a connection that will not be served.
        socket->abort();
        socket->deleteLater();
        return;
    }
    socket->write(response(ServiceTexts::refusalOf(Answer::TooManyConnections).status,
                           refusalBody(Answer::TooManyConnections), true));
    socket->disconnectFromHost();
    QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
}

void ConnectionGuard::watch(QTcpSocket *socket)
{
    auto connection = std::make_shared<Connection>();
    connection->socket = socket;
    connection->id = ++m_lastId;
    m_ids.insert(connection->id, socket);
    connection->peer = socket->peerAddress();
    connection->timer = new QTimer(socket);
    connection->timer->setSingleShot(true);
    // A new connection that sends nothing is closed after the request time (with TLS the
    // handshake counts); the idle time is for waiting between requests.
    connection->timer->start(m_limits.requestTimeoutMs);
    m_connections.insert(socket, connection);
    ++m_perPeer[connection->peer];
    Q_EMIT openChanged(int(m_connections.size()));

    Connection *raw = connection.get();
    // Connected before Qt HttpServer connects its own: this slot sees each byte first.
    connect(socket, &QTcpSocket::readyRead, this, [this, raw] { onReadyRead(*raw); });
    connect(connection->timer, &QTimer::timeout, this, [this, raw] { onTimeout(*raw); });
    connect(socket, &QObject::destroyed, this, &ConnectionGuard::forget);
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        // Qt HttpServer deletes the socket once it has seen the disconnection; until
        // then it must no longer count against the caps.
        forget(socket);
    });
}

void ConnectionGuard::forget(QObject *socket)
{
    const auto it = m_connections.constFind(socket);
    if (it == m_connections.constEnd())
        return;
    Connection &connection = *it.value();
    const QHostAddress peer = connection.peer;
    // Nothing of this connection calls back once it is forgotten.
    if (connection.timer) {
        connection.timer->stop();
        connection.timer->disconnect(this);
    }
    if (connection.socket)
        connection.socket->disconnect(this);
    m_ids.remove(connection.id);
    m_connections.erase(it);
    if (--m_perPeer[peer] <= 0)
        m_perPeer.remove(peer);
    Q_EMIT openChanged(int(m_connections.size()));
}

void ConnectionGuard::onReadyRead(Connection &connection)
{
    QTcpSocket *socket = connection.socket;
    if (!socket || connection.closing) {
        if (socket)
            socket->readAll();
        return;
    }
    const QByteArray data = socket->peek(socket->bytesAvailable());
    qsizetype pos = 0;
    while (pos < data.size()) {
        switch (connection.phase) {
        case Connection::Phase::Answering:
            if (pos > 0) {
                // The end of a request and more in one read: Qt HttpServer would take up
                // the next request while this one is answered, and the answers could
                // cross. Neither has reached the service yet.
                reject(connection, Refusal::Pipelined, Answer::OneRequestAtATime);
                return;
            }
            // The request is with the service, and its answer must be the one written:
            // this read and whatever follows are dropped, and the connection closes after
            // the answer (which says so), so the client knows to send again elsewhere.
            connection.closeAfterAnswer = true;
            socket->readAll();
            return;
        case Connection::Phase::Header: {
            if (connection.head.isEmpty())
                connection.timer->start(m_limits.requestTimeoutMs);
            const qsizetype before = connection.head.size();
            const qsizetype room = m_limits.maxHeaderBytes + 4 - before;
            connection.head.append(data.mid(pos, room));
            const qsizetype end
                = connection.head.indexOf("\r\n\r\n", qMax<qsizetype>(0, before - 3));
            if (end < 0) {
                if (connection.head.size() > m_limits.maxHeaderBytes) {
                    reject(connection, Refusal::HeaderTooLong, Answer::HeaderTooLong);
                    return;
                }
                pos = data.size();
                break;
            }
            pos += end + 4 - before;
            connection.head.truncate(end + 4);
            if (!takeHeader(connection))
                return;
            break;
        }
        case Connection::Phase::Body: {
            const qint64 take = qMin<qint64>(connection.bodyLeft, data.size() - pos);
            connection.bodyLeft -= take;
            pos += take;
            if (connection.bodyLeft == 0)
                connection.phase = Connection::Phase::Answering;
            break;
        }
        }
    }
    if (connection.phase == Connection::Phase::Answering)
        connection.timer->start(m_limits.answerTimeoutMs);
}

// Reads the framing of a complete header: the version, the body length and whether to
// close after the answer. False when the request was rejected.
bool ConnectionGuard::takeHeader(Connection &connection)
{
    const QList<QByteArray> lines = connection.head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3) {
        reject(connection, Refusal::Malformed, Answer::MalformedRequestLine);
        return false;
    }
    const QByteArray &version = requestLine.at(2);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        reject(connection, Refusal::HttpVersion, Answer::HttpVersion);
        return false;
    }
    bool close = version == "HTTP/1.0";
    std::optional<qint64> length;
    int headerLines = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        if (line.isEmpty())
            continue;
        if (++headerLines > m_limits.maxHeaderLines) {
            reject(connection, Refusal::TooManyHeaderLines, Answer::TooManyHeaderLines,
                   QString::number(m_limits.maxHeaderLines));
            return false;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0) {
            reject(connection, Refusal::Malformed, Answer::MalformedHeaderLine);
            return false;
        }
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding") {
            reject(connection, Refusal::LengthRequired, Answer::LengthRequired);
            return false;
        }
        if (name == "connection" && value.toLower().split(',').contains("close"))
            close = true;
        if (name == "content-length") {
            bool ok = false;
            const qint64 n = value.toLongLong(&ok);
            const bool digitsOnly = std::all_of(value.cbegin(), value.cend(),
                                                [](char c) { return c >= '0' && c <= '9'; });
            if (!ok || !digitsOnly || value.isEmpty() || (length && *length != n)) {
                reject(connection, Refusal::Malformed, Answer::MalformedLength);
                return false;
            }
            length = n;
        }
    }
    if (length.value_or(0) > m_limits.maxBodyBytes) {
        reject(connection, Refusal::BodyTooLarge, Answer::BodyTooLarge,
               QString::number(m_limits.maxBodyBytes));
        return false;
    }
    connection.closeAfterAnswer = close;
    connection.bodyLeft = length.value_or(0);
    connection.phase
        = connection.bodyLeft > 0 ? Connection::Phase::Body : Connection::Phase::Answering;
    return true;
}

void ConnectionGuard::onTimeout(Connection &connection)
{
    if (!connection.socket)
        return;
    if (connection.phase == Connection::Phase::Header && connection.head.isEmpty()) {
        // Idle between requests: close quietly. A socket with nothing left to write
        // disconnects at once, and this connection is forgotten (freed) before
        // disconnectFromHost returns: only the socket is touched after it.
        QTcpSocket *socket = connection.socket;
        connection.closing = true;
        socket->disconnectFromHost();
        QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
        return;
    }
    if (connection.phase != Connection::Phase::Answering) {
        reject(connection, Refusal::RequestTimeout, Answer::RequestTimedOut);
        return;
    }
    // A request that was never answered: Qt HttpServer dropped it (it stops watching a
    // socket whose bytes it cannot parse). Cut it loose so it stops holding a place.
    QTcpSocket *socket = connection.socket;
    Q_EMIT dropped(Refusal::Unanswered);
    forget(socket);
    socket->abort();
    socket->deleteLater();
}

void ConnectionGuard::reject(Connection &connection, Refusal reason, ServiceTexts::Refusal answer,
                             const QString &value)
{
    const int status = ServiceTexts::refusalOf(answer).status;
    QTcpSocket *socket = connection.socket;
    connection.closing = true;
    if (connection.timer)
        connection.timer->stop();
    Q_EMIT refused(connection.peer, status, ServiceTexts::refusalText(answer, value));
    Q_EMIT dropped(reason);
    // Qt HttpServer must not see the rest of this connection.
    if (parent())
        disconnect(socket, &QTcpSocket::readyRead, parent(), nullptr);
    socket->readAll();
    socket->write(response(status, refusalBody(answer, value), true));
    socket->disconnectFromHost();
    QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
}

quint64 ConnectionGuard::idOf(QTcpSocket *socket) const
{
    const auto it = m_connections.constFind(socket);
    return it == m_connections.constEnd() ? 0 : it.value()->id;
}

void ConnectionGuard::answer(quint64 id, int status, const QByteArray &body,
                             const QByteArray &headers, const QByteArray &contentType)
{
    const auto it = m_connections.constFind(m_ids.value(id));
    if (id == 0 || it == m_connections.constEnd() || it.value()->closing || !it.value()->socket)
        return;
    Connection &connection = *it.value();
    QTcpSocket *socket = connection.socket;
    socket->write(response(status, body, connection.closeAfterAnswer, headers, contentType));
    connection.phase = Connection::Phase::Header;
    connection.head.clear();
    if (connection.closeAfterAnswer) {
        connection.closing = true;
        socket->disconnectFromHost();
        QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
        return;
    }
    connection.timer->start(m_limits.idleTimeoutMs);
}

void ConnectionGuard::closeAll()
{
    const auto connections = m_connections;
    for (const auto &connection : connections) {
        if (QTcpSocket *socket = connection->socket) {
            connection->closing = true;
            socket->flush();
            socket->disconnectFromHost();
        }
    }
}
