#include "gateway/remote/remotegateway.h"

#include "gateway/remote/remoteexchange.h"
#include "gateway/remote/remotetexts.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSettings>
#include <QSslCertificate>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

constexpr int MaxTimeoutMs = 600'000;

QString newKey()
{
    quint64 words[2];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

bool isLoopbackHost(const QString &host)
{
    if (host == u"localhost"_s)
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

// An HTTP/1.1 answer taken as its bytes come: the status line and header fields, then a
// body of the length they give, or up to the end of the connection when they give none.
// Never more than the wire allows is kept; an answer in chunks is not read at all (the
// service sends each answer whole).
class AnswerReader {
public:
    enum Outcome { Reading, Done, TooLarge, Chunked, Malformed };

    Outcome take(const QByteArray &bytes)
    {
        m_started = m_started || !bytes.isEmpty();
        if (m_inHead) {
            m_head += bytes;
            const qsizetype end = m_head.indexOf("\r\n\r\n");
            if (end < 0)
                return m_head.size() > MaxHeadBytes ? Malformed : Reading;
            const QByteArray rest = m_head.mid(end + 4);
            m_head.truncate(end);
            m_inHead = false;
            if (const Outcome outcome = readHead(); outcome != Reading)
                return outcome;
            return body(rest);
        }
        return body(bytes);
    }
    // The connection ended: true when that completes the answer.
    bool closed()
    {
        m_close = true;
        return !m_inHead && !m_length;
    }
    bool started() const { return m_started; }
    bool mustClose() const { return m_close || !m_length || m_beyond; }
    int status() const { return m_status; }
    QByteArray reason() const { return m_reason; }
    const QByteArray &body() const { return m_body; }

private:
    static constexpr qsizetype MaxHeadBytes = qsizetype(64) * 1024;

    static bool isDigit(char c) { return c >= '0' && c <= '9'; }

    Outcome readHead()
    {
        const QList<QByteArray> lines = m_head.split('\n');
        const QByteArray statusLine = lines.value(0).trimmed();
        const QByteArray code = statusLine.mid(9, 3);
        if (!statusLine.startsWith("HTTP/1.") || statusLine.size() < 12 || statusLine.at(8) != ' '
            || !std::all_of(code.cbegin(), code.cend(), isDigit))
            return Malformed;
        m_status = code.toInt();
        m_reason = statusLine.mid(13);
        m_close = statusLine.startsWith("HTTP/1.0");
        if (m_status < 200)
            return Malformed;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                return Malformed;
            const QByteArray name = line.left(colon).trimmed().toLower();
            const QByteArray value = line.mid(colon + 1).trimmed();
            if (name == "transfer-encoding")
                return Chunked;
            if (name == "connection" && value.toLower().split(',').contains("close"))
                m_close = true;
            if (name == "content-length") {
                bool ok = false;
                const qint64 length = value.toLongLong(&ok);
                if (!ok || (m_length && *m_length != length)
                    || !std::all_of(value.cbegin(), value.cend(), isDigit))
                    return Malformed;
                m_length = length;
            }
        }
        if (m_status == 204 || m_status == 304)
            m_length = 0;
        return m_length && *m_length > Wire::MaxAnswerBytes ? TooLarge : Reading;
    }
    Outcome body(const QByteArray &bytes)
    {
        m_body += bytes;
        if (m_length && m_body.size() >= *m_length) {
            m_beyond = m_body.size() > *m_length;
            m_body.truncate(*m_length);
            return Done;
        }
        return m_body.size() > Wire::MaxAnswerBytes ? TooLarge : Reading;
    }

    bool m_started = false;
    bool m_inHead = true;
    QByteArray m_head;
    int m_status = 0;
    QByteArray m_reason;
    std::optional<qint64> m_length;
    bool m_close = false;
    bool m_beyond = false;
    QByteArray m_body;
};

} // namespace

RemoteGateway::RemoteGateway(Settings settings, std::optional<QSslConfiguration> tls)
    : m_settings(std::move(settings))
    , m_tls(std::move(tls))
{
}

RemoteGateway::~RemoteGateway()
{
    *m_alive = false;
    if (m_loop)
        m_loop->quit();
}

QString RemoteGateway::settingsPath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return folder.isEmpty() ? QString() : folder + u"/quillet-gateway/remote.conf"_s;
}

Status RemoteGateway::readSettings(const QString &path, Settings &settings)
{
    if (path.isEmpty() || !QFile::exists(path))
        return Status::failure(BadSettings, RemoteTexts::noSettings(path));
    QSettings file(path, QSettings::IniFormat);
    const QString url = file.value(u"url"_s).toString();
    if (url.isEmpty())
        return Status::failure(BadSettings, RemoteTexts::noSettings(path));
    Settings read;
    read.url = QUrl(url, QUrl::StrictMode);
    const QString tokenFile = file.value(u"token_file"_s).toString();
    if (!tokenFile.isEmpty())
        QUILLET_TRY(readTokenFile(tokenFile, read.token));
    read.caFile = file.value(u"ca_file"_s).toString();
    const auto timeout = [&](const QString &key, int &value) {
        if (!file.contains(key))
            return true;
        bool ok = false;
        value = file.value(key).toInt(&ok);
        return ok && value >= 1 && value <= MaxTimeoutMs;
    };
    for (const auto &[key, value] : { std::pair { u"connect_timeout_ms"_s, &read.connectTimeoutMs },
                                      std::pair { u"call_timeout_ms"_s, &read.callTimeoutMs } }) {
        if (!timeout(key, *value))
            return Status::failure(BadSettings, RemoteTexts::badTimeout(key));
    }
    settings = read;
    return Status::ok();
}

Status RemoteGateway::readTokenFile(const QString &path, QString &token)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Status::failure(BadSettings, RemoteTexts::unreadableToken(path, file.errorString()));
    if (file.permissions()
        & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteOther))
        return Status::failure(BadSettings, RemoteTexts::tokenFileOpen(path));
    token = QString::fromLatin1(file.read(4096).trimmed());
    return Status::ok();
}

Status RemoteGateway::create(const Settings &settings, std::unique_ptr<RemoteGateway> &gateway)
{
    const QUrl &url = settings.url;
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != u"http"_s && url.scheme() != u"https"_s))
        return Status::failure(BadSettings, RemoteTexts::badUrl(url.toDisplayString()));
    if (url.scheme() == u"http"_s && !isLoopbackHost(url.host()))
        return Status::failure(BadSettings, RemoteTexts::plainHttpOffLoopback(url.host()));
    std::optional<QSslConfiguration> tls;
    if (!settings.caFile.isEmpty()) {
        const QList<QSslCertificate> certificates
            = QSslCertificate::fromPath(settings.caFile, QSsl::Pem);
        if (certificates.isEmpty())
            return Status::failure(BadSettings, RemoteTexts::unreadableCa(settings.caFile));
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(certificates);
        tls = configuration;
    }
    gateway.reset(new RemoteGateway(settings, std::move(tls)));
    return Status::ok();
}

RemoteExchange::Outcome RemoteGateway::exchange(const Wire::Operation &operation,
                                                const QByteArray &body, const QString &key,
                                                qint64 remainingMs)
{
    const QUrl &url = m_settings.url;
    QString path = url.path(QUrl::FullyEncoded);
    if (path.endsWith(u'/'))
        path.chop(1);
    QString host = url.host(QUrl::FullyEncoded);
    if (host.contains(u':'))
        host = u'[' + host + u']';
    if (url.port() != -1)
        host += u':' + QString::number(url.port());
    QByteArray request = "POST " + (path + Wire::path(operation)).toLatin1() + " HTTP/1.1\r\nHost: "
        + host.toLatin1() + "\r\nContent-Type: application/json\r\nAuthorization: Bearer "
        + m_settings.token.toLatin1() + "\r\n";
    if (!key.isEmpty())
        request += Wire::IdempotencyHeader.latin1() + QByteArray(": ") + key.toLatin1() + "\r\n";
    request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;

    const std::shared_ptr<bool> alive = m_alive;
    const QDeadlineTimer deadline(remainingMs);
    for (;;) {
        // A connection kept from the call before may have been closed by the service
        // since (it closes idle ones); one that ends before any answer is tried once more
        // on a new connection.
        const bool reused = m_socket && m_socket->state() == QAbstractSocket::ConnectedState
            && m_socket->bytesAvailable() == 0;
        if (!reused)
            m_socket.reset();
        const std::optional<RemoteExchange::Ending> ending
            = transmit(request, qMax<qint64>(1, deadline.remainingTime()), reused);
        if (!*alive || !ending)
            return { Status::failure(Unavailable, RemoteTexts::closedDuringCall()), {}, false };
        RemoteExchange::Outcome result = RemoteExchange::outcome(
            *ending,
            { url.toDisplayString(), m_settings.connectTimeoutMs, m_settings.callTimeoutMs });
        if (!result.stale)
            return result;
    }
}

std::optional<RemoteExchange::Ending> RemoteGateway::transmit(const QByteArray &request,
                                                              qint64 remainingMs, bool reused)
{
    using How = RemoteExchange::Ending::How;
    const bool https = m_settings.url.scheme() == u"https"_s;
    if (!m_socket) {
        if (https) {
            auto *tls = new QSslSocket;
            tls->setSslConfiguration(m_tls ? *m_tls : QSslConfiguration::defaultConfiguration());
            m_socket.reset(tls);
        } else {
            m_socket.reset(new QTcpSocket);
        }
    }
    QTcpSocket *socket = m_socket.get();

    RemoteExchange::Ending ending;
    ending.reused = reused;
    bool over = false;
    AnswerReader reader;
    bool ready = reused;
    QEventLoop loop;
    QTimer connectTimer;
    connectTimer.setSingleShot(true);
    QTimer callTimer;
    callTimer.setSingleShot(true);
    const auto end = [&](How how) {
        if (!over)
            ending.how = how;
        over = true;
        loop.quit();
    };
    const auto take = [&](const QByteArray &bytes) {
        switch (reader.take(bytes)) {
        case AnswerReader::Reading:
            return;
        case AnswerReader::Done:
            return end(How::Answered);
        case AnswerReader::TooLarge:
            return end(How::TooLarge);
        case AnswerReader::Chunked:
            return end(How::Chunked);
        case AnswerReader::Malformed:
            return end(How::Malformed);
        }
    };
    const auto sendRequest = [&] {
        ready = true;
        connectTimer.stop();
        socket->write(request);
    };
    QObject::connect(&connectTimer, &QTimer::timeout, &loop, [&] {
        if (!ready)
            end(How::ConnectTimeout);
    });
    QObject::connect(&callTimer, &QTimer::timeout, &loop, [&] { end(How::CallTimeout); });
    if (https)
        QObject::connect(static_cast<QSslSocket *>(socket), &QSslSocket::encrypted, &loop,
                         sendRequest);
    else
        QObject::connect(socket, &QTcpSocket::connected, &loop, sendRequest);
    QObject::connect(socket, &QTcpSocket::readyRead, &loop, [&] {
        if (!over)
            take(socket->readAll());
    });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, &loop,
                     [&](QAbstractSocket::SocketError what) {
                         if (over)
                             return;
                         take(socket->readAll());
                         if (over)
                             return;
                         // An answer without a length ends where the connection does.
                         if (what == QAbstractSocket::RemoteHostClosedError && reader.closed())
                             return end(How::Answered);
                         ending.error = what;
                         ending.errorText = socket->errorString();
                         end(How::Failed);
                     });

    const QUrl &url = m_settings.url;
    if (reused)
        sendRequest();
    else if (https)
        static_cast<QSslSocket *>(socket)->connectToHostEncrypted(url.host(),
                                                                  quint16(url.port(443)));
    else
        socket->connectToHost(url.host(), quint16(url.port(80)));
    connectTimer.start(int(qMin<qint64>(m_settings.connectTimeoutMs, remainingMs)));
    callTimer.start(int(remainingMs));

    const std::shared_ptr<bool> alive = m_alive;
    m_loop = &loop;
    if (!over)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!*alive)
        return std::nullopt;
    m_loop = nullptr;

    // Only a connection whose answer ended where its length said, and that the service
    // keeps open, carries the next call.
    if (ending.how != How::Answered || reader.mustClose())
        m_socket.reset();
    ending.started = reader.started();
    ending.httpStatus = reader.status();
    ending.reason = reader.reason();
    ending.body = reader.body();
    return ending;
}

Status RemoteGateway::malformed() const
{
    return RemoteExchange::malformed(m_settings.url.toDisplayString());
}

bool RemoteGateway::pause(int ms)
{
    const std::shared_ptr<bool> alive = m_alive;
    QEventLoop loop;
    m_loop = &loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    // Deleted while waiting: nothing of this object may be touched any more.
    if (!*alive)
        return false;
    m_loop = nullptr;
    return true;
}

Status RemoteGateway::send(const Wire::Operation &operation, const QJsonObject &arguments,
                           QJsonObject &answer)
{
    if (m_loop)
        return Status::failure(Busy, RemoteTexts::busy());
    const QByteArray body = QJsonDocument(arguments).toJson(QJsonDocument::Compact);
    const QString key = operation.keyed ? newKey() : QString();
    const std::shared_ptr<bool> alive = m_alive;
    QDeadlineTimer deadline(m_settings.callTimeoutMs);
    RemoteExchange::Outcome result;
    for (int attempt = 0;; ++attempt) {
        result = exchange(operation, body, key, qMax<qint64>(1, deadline.remainingTime()));
        if (!*alive)
            return result.status;
        // Only a keyed call is tried again, and only with its own key.
        if (!result.retryable || !operation.keyed || attempt >= m_settings.retries
            || deadline.remainingTime() < 200)
            break;
        if (!pause(100 * (attempt + 1)))
            return Status::failure(Unavailable, RemoteTexts::closedDuringCall());
    }
    if (result.status.isOk())
        answer = result.answer;
    return result.status;
}

Status RemoteGateway::QueryBalance(const QString &accountNo, QString &balance)
{
    return Wire::invoke<&GatewayClient::QueryBalance>(*this, accountNo, balance);
}

Status RemoteGateway::Register(const RegisterParticulars &particulars, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::Register>(*this, particulars, outcome);
}

Status RemoteGateway::Recharge(const QString &accountNo, const QString &cardNo,
                               const QString &cardPassword, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::Recharge>(*this, accountNo, cardNo, cardPassword, outcome);
}

Status RemoteGateway::SendMessage(const QString &accountNo, const QString &phoneNo,
                                  const QString &text, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::SendMessage>(*this, accountNo, phoneNo, text, outcome);
}

Status RemoteGateway::SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                           const QString &text, const QString &sendTime,
                                           Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::SendScheduledMessage>(*this, accountNo, phoneNo, text,
                                                              sendTime, outcome);
}

Status RemoteGateway::ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                                      Variant &messages, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::ReceiveMessages>(*this, accountNo, total, current, messages,
                                                         outcome);
}

Status RemoteGateway::SetForwarding(const QString &accountNo, const QString &phoneNo,
                                    Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::SetForwarding>(*this, accountNo, phoneNo, outcome);
}

Status RemoteGateway::CancelForwarding(const QString &accountNo, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::CancelForwarding>(*this, accountNo, outcome);
}

Status RemoteGateway::GetForwarding(const QString &accountNo, QString &phoneNo)
{
    return Wire::invoke<&GatewayClient::GetForwarding>(*this, accountNo, phoneNo);
}

Status RemoteGateway::SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::SetAutoReply>(*this, accountNo, reply, outcome);
}

Status RemoteGateway::CancelAutoReply(const QString &accountNo, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::CancelAutoReply>(*this, accountNo, outcome);
}

Status RemoteGateway::GetAutoReply(const QString &accountNo, QString &reply)
{
    return Wire::invoke<&GatewayClient::GetAutoReply>(*this, accountNo, reply);
}

Status RemoteGateway::Deregister(const QString &accountNo, Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::Deregister>(*this, accountNo, outcome);
}

Status RemoteGateway::ChangePassword(const QString &accountNo, const QString &newPassword,
                                     Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::ChangePassword>(*this, accountNo, newPassword, outcome);
}

Status RemoteGateway::ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                                         Variant &messages, const QString &extension,
                                         Bool16 &outcome)
{
    return Wire::invoke<&GatewayClient::ReceiveMessagesNet>(*this, accountNo, total, current,
                                                            messages, extension, outcome);
}
