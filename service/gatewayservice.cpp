#include "gatewayservice.h"

#include "localgateway.h"
#include "operations.h"
#include "servicestore.h"
#include "servicetexts.h"
#include "store.h"
#include "wire.h"
#include "workerpool.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>

#include <cstdio>

using namespace Qt::StringLiterals;

namespace {

// What a worker needs of one request; copied out of Qt HttpServer's request object,
// which is reused for the connection's next request.
struct Incoming {
    const Wire::Operation *operation = nullptr;
    QString bearer;
    std::optional<QString> key;
    QByteArray body;
};

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray error(const QString &code, const QString &message)
{
    return compact(Wire::errorJson(code, message));
}

QByteArray header(const QHttpServerRequest &request, QByteArrayView name)
{
    const auto headers = request.headers();
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

struct Handled {
    int status = 200;
    QByteArray json;
    bool authFailed = false;
};

Handled fail(int status, const QString &code, const QString &message)
{
    return { status, error(code, message), false };
}

// Runs on a worker thread: everything that needs the store.
Handled handle(Worker &worker, const Incoming &in)
{
    if (!worker.service)
        return fail(503, u"store_unavailable"_s, worker.failure.description());

    std::optional<ServiceStore::Token> token;
    if (const Status status = worker.service->verify(in.bearer, token); status.failed())
        return fail(503, u"store_unavailable"_s, status.description());
    if (!token)
        return { 401, error(u"unauthorized"_s, ServiceTexts::badToken()), true };
    if (token->role != in.operation->role)
        return fail(403, u"forbidden"_s, ServiceTexts::wrongRole(Wire::roleName(token->role)));

    if (const Wire::JsonFault fault = Wire::scanJson(in.body); fault != Wire::JsonFault::None)
        return fail(400, u"malformed_json"_s,
                    fault == Wire::JsonFault::DuplicateKey ? ServiceTexts::duplicateKey()
                                                           : ServiceTexts::rawControlCharacter());
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(in.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return fail(400, u"malformed_json"_s, ServiceTexts::notAJsonObject());
    const QJsonObject body = document.object();
    if (const QString why = Wire::validate(*in.operation, body); !why.isEmpty())
        return fail(400, u"invalid_field"_s, why);

    if (!in.operation->keyed) {
        QJsonObject answer;
        Operations::run(*in.operation, *worker.gateway, body, answer);
        return { 200, compact(answer), false };
    }

    // The lookup, the operation and the record of its answer are one transaction, so a
    // process killed before answering has either committed all of them or nothing. A
    // repeat sent while the first call runs either waits for its write lock and finds its
    // answer (SQLite holds the whole store), or runs too and then fails to record the
    // same key; its whole transaction is rolled back, and the answer it gives is the one
    // the first call recorded.
    const QString fingerprint
        = ServiceStore::hash(in.operation->name.latin1() + QByteArray(1, '\0') + compact(body));
    const auto recorded = [&](const ServiceStore::Remembered &earlier) {
        return earlier.fingerprint == fingerprint
            ? Handled { 200, earlier.answer, false }
            : fail(422, u"key_reused"_s, ServiceTexts::keyReused());
    };
    Handled handled;
    const auto decided = worker.service->store().transaction([&]() -> Result<Store::Decision> {
        std::optional<ServiceStore::Remembered> earlier;
        QUILLET_TRY(worker.service->remembered(token->id, *in.key, earlier));
        if (earlier && !earlier->expired) {
            handled = recorded(*earlier);
            return Store::Decision::RollBack;
        }
        QJsonObject answer;
        Operations::run(*in.operation, *worker.gateway, body, answer);
        handled = { 200, compact(answer), false };
        Status status;
        // A failed call changed nothing and is not remembered: it may simply be tried
        // again.
        if (!Wire::statusFromJson(answer, status) || status.failed())
            return Store::Decision::RollBack;
        QUILLET_TRY(worker.service->remember(token->id, *in.key, in.operation->name, fingerprint,
                                             handled.json, earlier.has_value()));
        return Store::Decision::Commit;
    });
    if (decided.failed()) {
        std::optional<ServiceStore::Remembered> earlier;
        if (worker.service->remembered(token->id, *in.key, earlier).isOk() && earlier
            && !earlier->expired)
            return recorded(*earlier);
        return fail(503, u"store_unavailable"_s, decided.status().description());
    }
    return handled;
}

} // namespace

GatewayService::GatewayService(Options options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_options(std::move(options))
{
    m_clock.start();
}

GatewayService::~GatewayService()
{
    // Join the workers first: they post their answers to this object.
    m_pool.reset();
}

Status GatewayService::start(const QHostAddress &address, quint16 port, quint16 &bound)
{
    if (!address.isLoopback() && !m_options.tls)
        return Status::failure(Status::CreationFailed,
                               ServiceTexts::tlsRequired(address.toString()));
    {
        // Open the store once here, so a store that cannot be used stops the start.
        std::unique_ptr<ServiceStore> check;
        QUILLET_TRY(ServiceStore::open(m_options.store, check));
        (void)check->forgetExpired();
    }
    m_guard = new ConnectionGuard(m_options.limits, m_options.tls, this);
    connect(m_guard, &ConnectionGuard::refused, this,
            [this](const QHostAddress &peer, int status, const QString &) {
                logLine(peer, u"-"_s, status, 0);
            });
    connect(m_guard, &ConnectionGuard::notice, this, [this](const QString &line) {
        writeLog(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + u' ' + line);
    });
    if (!m_guard->listen(address, port)) {
        const QString why = m_guard->errorString();
        delete m_guard;
        m_guard = nullptr;
        return Status::failure(Status::CreationFailed,
                               ServiceTexts::cannotListen(address.toString(), port, why));
    }
    bind(m_guard);
    m_pool = std::make_unique<WorkerPool>(m_options.store, m_options.workers);
    bound = m_guard->serverPort();
    return Status::ok();
}

void GatewayService::stop()
{
    m_stopping = true;
    if (m_guard)
        m_guard->close();
    if (m_inFlight == 0)
        finishStopping();
}

void GatewayService::finishStopping()
{
    if (m_guard)
        m_guard->closeAll();
    Q_EMIT stopped();
}

bool GatewayService::blocked(const QHostAddress &peer)
{
    const auto it = m_failures.find(peer);
    if (it == m_failures.end())
        return false;
    if (m_clock.elapsed() - it->windowStartMs >= m_options.authWindowMs) {
        m_failures.erase(it);
        return false;
    }
    return it->count >= m_options.authFailureLimit;
}

bool GatewayService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QElapsedTimer timer;
    timer.start();
    const QHostAddress peer = request.remoteAddress();
    // The connection by number: the socket may be gone (and its address reused) by the
    // time a worker answers.
    const quint64 target = m_guard ? m_guard->idOf(socket) : 0;
    const Wire::Operation *operation = Wire::findByPath(request.url().path());
    const QString name = operation ? QString(operation->name) : u"-"_s;

    auto refuse = [&](int status, const QString &code, const QString &message) {
        finish(target, peer, name, timer, Reply { status, error(code, message), false });
        return true;
    };
    if (!operation)
        return refuse(404, u"not_found"_s, ServiceTexts::noSuchOperation());
    if (request.method() != QHttpServerRequest::Method::Post)
        return refuse(405, u"method_not_allowed"_s, ServiceTexts::postOnly());
    if (m_stopping)
        return refuse(503, u"stopping"_s, ServiceTexts::stopping());
    if (blocked(peer))
        return refuse(429, u"too_many_failures"_s, ServiceTexts::tooManyFailures());
    if (request.body().size() > Wire::MaxBodyBytes)
        return refuse(413, u"content_too_large"_s, ServiceTexts::bodyTooLarge(Wire::MaxBodyBytes));
    const QByteArray type = header(request, "content-type").toLower();
    if (!type.startsWith("application/json"))
        return refuse(415, u"unsupported_media_type"_s, ServiceTexts::jsonOnly());

    Incoming in;
    in.operation = operation;
    in.bearer = Wire::bearerToken(header(request, "authorization"));
    if (operation->keyed) {
        const QString key = QString::fromLatin1(header(request, "idempotency-key"));
        if (!Wire::isAcceptableKey(key))
            return refuse(400, u"idempotency_key"_s, ServiceTexts::keyRequired());
        in.key = key;
    }
    in.body = request.body();

    ++m_inFlight;
    m_pool->post([this, in = std::move(in), target, peer, name, timer](Worker &worker) {
        const Handled handled = handle(worker, in);
        QMetaObject::invokeMethod(
            this,
            [this, handled, target, peer, name, timer] {
                --m_inFlight;
                finish(target, peer, name, timer,
                       Reply { handled.status, handled.json, handled.authFailed });
                if (m_stopping && m_inFlight == 0)
                    finishStopping();
            },
            Qt::QueuedConnection);
    });
    return true;
}

void GatewayService::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QElapsedTimer timer;
    timer.start();
    finish(m_guard ? m_guard->idOf(socket) : 0, request.remoteAddress(), u"-"_s, timer,
           Reply { 404, error(u"not_found"_s, ServiceTexts::noSuchOperation()), false });
}

void GatewayService::finish(quint64 connection, const QHostAddress &peer, const QString &operation,
                            const QElapsedTimer &timer, const Reply &reply)
{
    if (reply.authFailed) {
        // Windows that have passed are dropped before a new address is counted, so
        // many failing addresses cannot grow this table without bound.
        if (m_failures.size() >= MaxTrackedPeers) {
            const qint64 now = m_clock.elapsed();
            m_failures.removeIf([&](const auto &entry) {
                return now - entry.value().windowStartMs >= m_options.authWindowMs;
            });
        }
        Failures &failures = m_failures[peer];
        if (failures.count == 0)
            failures.windowStartMs = m_clock.elapsed();
        ++failures.count;
    }
    if (m_guard)
        m_guard->answer(connection, reply.status, reply.json);
    logLine(peer, operation, reply.status, double(timer.nsecsElapsed()) / 1e6);
}

void GatewayService::logLine(const QHostAddress &peer, const QString &operation, int status,
                             double ms)
{
    const QString line = u"%1 %2 %3 %4 %5ms"_s.arg(
        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs), peer.toString(), operation,
        QString::number(status), QString::number(ms, 'f', 2));
    writeLog(line);
}

void GatewayService::writeLog(const QString &line)
{
    if (m_options.log) {
        m_options.log(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}
