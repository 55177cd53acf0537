#include "remotegateway.h"

#include "remotetexts.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QRandomGenerator>
#include <QSettings>
#include <QSslCertificate>
#include <QStandardPaths>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 MaxAnswerBytes = qint64(8) * 1024 * 1024;
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

} // namespace

struct RemoteGateway::Exchange {
    Status status;
    QJsonObject answer;
    bool retryable = false;
};

RemoteGateway::RemoteGateway(Settings settings, std::optional<QSslConfiguration> tls)
    : m_settings(std::move(settings))
    , m_tls(std::move(tls))
    , m_network(std::make_unique<QNetworkAccessManager>())
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

RemoteGateway::Exchange RemoteGateway::exchange(const Wire::Operation &operation,
                                                const QByteArray &body, const QString &key,
                                                qint64 remainingMs)
{
    const QString where = m_settings.url.toDisplayString();
    QUrl url = m_settings.url;
    url.setPath(url.path().chopped(url.path().endsWith(u'/') ? 1 : 0) + Wire::path(operation));
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
    request.setRawHeader("Authorization", "Bearer " + m_settings.token.toLatin1());
    if (!key.isEmpty())
        request.setRawHeader(Wire::IdempotencyHeader.latin1(), key.toLatin1());
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (m_tls)
        request.setSslConfiguration(*m_tls);

    enum class Expired { No, Connect, Call } expired = Expired::No;
    bool tooLarge = false;
    bool sent = false;
    QEventLoop loop;
    QPointer<QNetworkReply> reply = m_network->post(request, body);
    QTimer connectTimer;
    connectTimer.setSingleShot(true);
    QTimer callTimer;
    callTimer.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::requestSent, &loop, [&] {
        sent = true;
        connectTimer.stop();
    });
    QObject::connect(&connectTimer, &QTimer::timeout, &loop, [&] {
        if (!sent && reply) {
            expired = Expired::Connect;
            reply->abort();
        }
    });
    QObject::connect(&callTimer, &QTimer::timeout, &loop, [&] {
        expired = Expired::Call;
        if (reply)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64) {
        if (received > MaxAnswerBytes && reply) {
            tooLarge = true;
            reply->abort();
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connectTimer.start(int(qMin<qint64>(m_settings.connectTimeoutMs, remainingMs)));
    callTimer.start(int(remainingMs));

    const std::shared_ptr<bool> alive = m_alive;
    m_loop = &loop;
    if (!reply->isFinished())
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    if (!*alive)
        return { Status::failure(Unavailable, RemoteTexts::closedDuringCall()), {}, false };
    m_loop = nullptr;
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> owned(
        reply.data(), [](QNetworkReply *r) { r->deleteLater(); });

    if (expired == Expired::Connect)
        return { Status::failure(Timeout,
                                 RemoteTexts::connectTimeout(where, m_settings.connectTimeoutMs)),
                 {},
                 false };
    if (expired == Expired::Call)
        return { Status::failure(Timeout,
                                 RemoteTexts::callTimeout(where, m_settings.callTimeoutMs)),
                 {},
                 false };
    if (tooLarge)
        return { Status::failure(Unavailable, RemoteTexts::answerTooLarge(where)), {}, false };

    const QByteArray data = reply->readAll();
    const int httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    if (httpStatus == 0) {
        switch (error) {
        case QNetworkReply::ConnectionRefusedError:
            return { Status::failure(Refused, RemoteTexts::refused(where)), {}, true };
        case QNetworkReply::SslHandshakeFailedError:
            return { Status::failure(TlsFailed,
                                     RemoteTexts::tlsFailed(where, reply->errorString())),
                     {},
                     false };
        default:
            return { Status::failure(Unavailable,
                                     RemoteTexts::transportFailed(where, reply->errorString())),
                     {},
                     error == QNetworkReply::RemoteHostClosedError
                         || error == QNetworkReply::TemporaryNetworkFailureError
                         || error == QNetworkReply::NetworkSessionFailedError };
        }
    }
    // What the service writes never repeats a key nor holds a raw control character.
    if (httpStatus == 200 && Wire::scanJson(data) != Wire::JsonFault::None)
        return { malformed(), {}, false };
    const QJsonObject answer = QJsonDocument::fromJson(data).object();
    if (httpStatus != 200) {
        QString message = answer.value(u"error"_s).toObject().value(u"message"_s).toString();
        if (message.isEmpty())
            message = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        message = message.left(300);
        const qint32 code = httpStatus == 401 || httpStatus == 403 ? AccessDenied : Unavailable;
        return { Status::failure(code, RemoteTexts::httpFailed(where, httpStatus, message)),
                 {},
                 httpStatus == 502 || httpStatus == 503 || httpStatus == 504 };
    }
    Status status;
    if (!Wire::statusFromJson(answer, status))
        return { malformed(), {}, false };
    return { status, answer, false };
}

Status RemoteGateway::malformed() const
{
    return Status::failure(Unavailable,
                           RemoteTexts::malformedAnswer(m_settings.url.toDisplayString()));
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

Status RemoteGateway::call(QLatin1StringView name, const QJsonObject &arguments,
                           QJsonObject &answer)
{
    const Wire::Operation *operation = Wire::find(name);
    Q_ASSERT(operation);
    if (m_loop)
        return Status::failure(Busy, RemoteTexts::busy());
    const QByteArray body = QJsonDocument(arguments).toJson(QJsonDocument::Compact);
    const QString key = operation->keyed ? newKey() : QString();
    const std::shared_ptr<bool> alive = m_alive;
    QDeadlineTimer deadline(m_settings.callTimeoutMs);
    Exchange result;
    for (int attempt = 0;; ++attempt) {
        result = exchange(*operation, body, key, qMax<qint64>(1, deadline.remainingTime()));
        if (!*alive)
            return result.status;
        // Only a keyed call is tried again, and only with its own key.
        if (!result.retryable || !operation->keyed || attempt >= m_settings.retries
            || deadline.remainingTime() < 200)
            break;
        if (!pause(100 * (attempt + 1)))
            return Status::failure(Unavailable, RemoteTexts::closedDuringCall());
    }
    if (result.status.isOk())
        answer = result.answer;
    return result.status;
}

Status RemoteGateway::withOutcome(QLatin1StringView operation, QJsonObject arguments,
                                  Bool16 &outcome)
{
    arguments.insert(u"outcome"_s, double(outcome));
    QJsonObject answer;
    QUILLET_TRY(call(operation, arguments, answer));
    const QJsonValue value = answer.value(u"outcome"_s);
    const double d = value.toDouble(1e9);
    if (!value.isDouble() || d != double(Bool16(d)))
        return malformed();
    outcome = Bool16(d);
    return Status::ok();
}

Status RemoteGateway::withText(QLatin1StringView operation, QJsonObject arguments, const char *slot,
                               QString &value)
{
    const QLatin1StringView name(slot);
    arguments.insert(name, value);
    QJsonObject answer;
    QUILLET_TRY(call(operation, arguments, answer));
    if (!answer.value(name).isString())
        return malformed();
    value = answer.value(name).toString();
    return Status::ok();
}

Status RemoteGateway::receive(QLatin1StringView operation, QJsonObject arguments, Variant &total,
                              Variant &current, Variant &messages, Bool16 &outcome)
{
    arguments.insert(u"total"_s, Wire::toJson(total));
    arguments.insert(u"current"_s, Wire::toJson(current));
    arguments.insert(u"messages"_s, Wire::toJson(messages));
    arguments.insert(u"outcome"_s, double(outcome));
    QJsonObject answer;
    QUILLET_TRY(call(operation, arguments, answer));
    Variant newTotal;
    Variant newCurrent;
    Variant newMessages;
    const QJsonValue o = answer.value(u"outcome"_s);
    if (!Wire::fromJson(answer.value(u"total"_s), newTotal)
        || !Wire::fromJson(answer.value(u"current"_s), newCurrent)
        || !Wire::fromJson(answer.value(u"messages"_s), newMessages) || !o.isDouble()
        || o.toDouble() != double(Bool16(o.toDouble())))
        return malformed();
    total = std::move(newTotal);
    current = std::move(newCurrent);
    messages = std::move(newMessages);
    outcome = Bool16(o.toDouble());
    return Status::ok();
}

Status RemoteGateway::QueryBalance(const QString &accountNo, QString &balance)
{
    return withText("queryBalance"_L1, { { u"accountNo"_s, accountNo } }, "balance", balance);
}

Status RemoteGateway::Register(const RegisterParticulars &p, Bool16 &outcome)
{
    return withOutcome("register"_L1,
                       { { u"accountNo"_s, p.accountNo },
                         { u"password"_s, p.password },
                         { u"province"_s, p.province },
                         { u"city"_s, p.city },
                         { u"trade"_s, p.trade },
                         { u"company"_s, p.company },
                         { u"contactName"_s, p.contactName },
                         { u"telephone"_s, p.telephone },
                         { u"mobile"_s, p.mobile },
                         { u"email"_s, p.email },
                         { u"fax"_s, p.fax },
                         { u"address"_s, p.address },
                         { u"postcode"_s, p.postcode } },
                       outcome);
}

Status RemoteGateway::Recharge(const QString &accountNo, const QString &cardNo,
                               const QString &cardPassword, Bool16 &outcome)
{
    return withOutcome("recharge"_L1,
                       { { u"accountNo"_s, accountNo },
                         { u"cardNo"_s, cardNo },
                         { u"cardPassword"_s, cardPassword } },
                       outcome);
}

Status RemoteGateway::SendMessage(const QString &accountNo, const QString &phoneNo,
                                  const QString &text, Bool16 &outcome)
{
    return withOutcome(
        "sendMessage"_L1,
        { { u"accountNo"_s, accountNo }, { u"phoneNo"_s, phoneNo }, { u"text"_s, text } }, outcome);
}

Status RemoteGateway::SendScheduledMessage(const QString &accountNo, const QString &phoneNo,
                                           const QString &text, const QString &sendTime,
                                           Bool16 &outcome)
{
    return withOutcome("sendScheduledMessage"_L1,
                       { { u"accountNo"_s, accountNo },
                         { u"phoneNo"_s, phoneNo },
                         { u"text"_s, text },
                         { u"sendTime"_s, sendTime } },
                       outcome);
}

Status RemoteGateway::ReceiveMessages(const QString &accountNo, Variant &total, Variant &current,
                                      Variant &messages, Bool16 &outcome)
{
    return receive("receiveMessages"_L1, { { u"accountNo"_s, accountNo } }, total, current,
                   messages, outcome);
}

Status RemoteGateway::SetForwarding(const QString &accountNo, const QString &phoneNo,
                                    Bool16 &outcome)
{
    return withOutcome("setForwarding"_L1,
                       { { u"accountNo"_s, accountNo }, { u"phoneNo"_s, phoneNo } }, outcome);
}

Status RemoteGateway::CancelForwarding(const QString &accountNo, Bool16 &outcome)
{
    return withOutcome("cancelForwarding"_L1, { { u"accountNo"_s, accountNo } }, outcome);
}

Status RemoteGateway::GetForwarding(const QString &accountNo, QString &phoneNo)
{
    return withText("getForwarding"_L1, { { u"accountNo"_s, accountNo } }, "phoneNo", phoneNo);
}

Status RemoteGateway::SetAutoReply(const QString &accountNo, const QString &reply, Bool16 &outcome)
{
    return withOutcome("setAutoReply"_L1, { { u"accountNo"_s, accountNo }, { u"reply"_s, reply } },
                       outcome);
}

Status RemoteGateway::CancelAutoReply(const QString &accountNo, Bool16 &outcome)
{
    return withOutcome("cancelAutoReply"_L1, { { u"accountNo"_s, accountNo } }, outcome);
}

Status RemoteGateway::GetAutoReply(const QString &accountNo, QString &reply)
{
    return withText("getAutoReply"_L1, { { u"accountNo"_s, accountNo } }, "reply", reply);
}

Status RemoteGateway::Deregister(const QString &accountNo, Bool16 &outcome)
{
    return withOutcome("deregister"_L1, { { u"accountNo"_s, accountNo } }, outcome);
}

Status RemoteGateway::ChangePassword(const QString &accountNo, const QString &newPassword,
                                     Bool16 &outcome)
{
    return withOutcome("changePassword"_L1,
                       { { u"accountNo"_s, accountNo }, { u"newPassword"_s, newPassword } },
                       outcome);
}

Status RemoteGateway::ReceiveMessagesNet(const QString &accountNo, Variant &total, Variant &current,
                                         Variant &messages, const QString &extension,
                                         Bool16 &outcome)
{
    return receive("receiveMessagesNet"_L1,
                   { { u"accountNo"_s, accountNo }, { u"extension"_s, extension } }, total, current,
                   messages, outcome);
}
