#include "service/gatewayservice.h"

#include "gateway/local/localgateway.h"
#include "gateway/local/store.h"
#include "protocol/calls.h"
#include "protocol/wire.h"
#include "service/applicationroutes.h"
#include "service/operations.h"
#include "service/requestkey.h"
#include "service/servicelog.h"
#include "service/servicemetrics.h"
#include "service/servicestore.h"
#include "service/servicetexts.h"
#include "service/workerpool.h"

#include <QDateTime>
#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QUrlQuery>

#include <variant>

using namespace Qt::StringLiterals;

// By the secret's hash; bounded by the tokens in use, and emptied when that is past.
class GatewayService::KnownTokens {
public:
    static QString keyOf(const QString &secret) { return ServiceStore::hash(secret.toUtf8()); }

    std::optional<ServiceStore::Token> find(const QString &key) const
    {
        std::lock_guard lock(m_mutex);
        const auto it = m_tokens.constFind(key);
        if (it == m_tokens.cend())
            return std::nullopt;
        return *it;
    }

    void keep(const QString &key, const ServiceStore::Token &token)
    {
        std::lock_guard lock(m_mutex);
        if (m_tokens.size() >= Most)
            m_tokens.clear();
        m_tokens.insert(key, token);
    }

private:
    static constexpr qsizetype Most = 4096;
    mutable std::mutex m_mutex;
    QHash<QString, ServiceStore::Token> m_tokens;
};

namespace {

// What a worker needs of one request; copied out of Qt HttpServer's request object,
// which is reused for the connection's next request.
struct Incoming {
    // One of the two: a console's or operator's operation, or an application's route.
    const Wire::Operation *operation = nullptr;
    const ApplicationRoutes::Route *route = nullptr;
    qint64 id = 0; // the route's {id}
    QUrlQuery query;
    std::shared_ptr<const CallbackSetup> callbacks;
    QString bearer;
    std::optional<QString> key;
    QByteArray body;
};

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
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

using Handled = GatewayService::Reply;

QByteArrayView methodName(QHttpServerRequest::Method method)
{
    switch (method) {
    case QHttpServerRequest::Method::Get:
        return "GET";
    case QHttpServerRequest::Method::Post:
        return "POST";
    case QHttpServerRequest::Method::Delete:
        return "DELETE";
    case QHttpServerRequest::Method::Put:
        return "PUT";
    default:
        break;
    }
    return "-";
}
using ServiceTexts::Refusal;
using Wire::SignOn;

bool succeeded(const QJsonObject &answer)
{
    Status status;
    return Wire::statusFromJson(answer, status) && status.isOk()
        && answer.value("outcome"_L1).toInt() == True16;
}

// Runs the operation as `token` may run it; inside the caller's transaction when it
// changes anything. A token acts only on the accounts it signed on itself: on any other
// its calls get exactly what a signed-off account gets. `signedOn`: whether it holds the
// account's sign-on, when the caller has already looked in this transaction.
Result<QJsonObject> runAs(Worker &worker, const ServiceStore::Token &token,
                          const Wire::Operation &operation, const QJsonObject &body,
                          std::optional<bool> signedOn = std::nullopt)
{
    ServiceStore &service = *worker.service;
    const SignOn kind = operation.signOn;
    const QString accountNo = body.value("accountNo"_L1).toString();
    QJsonObject answer;
    if (kind == SignOn::Ends) {
        // Sign-offs of one account by two tokens at once must not both see the other's
        // sign-on still holding, and leave the account signed on with none.
        QUILLET_TRY(service.store().lockAccount(u"number"_s, accountNo));
    }
    if (kind != SignOn::NotNeeded && kind != SignOn::Opens) {
        if (!signedOn || kind == SignOn::Ends) {
            QUILLET_TRY_VALUE(signedOn, service.signedOn(token.id, accountNo));
        }
        if (!*signedOn) {
            // The rules answer a call for no account exactly as one for a signed-off
            // account, and look at nothing.
            QJsonObject none = body;
            none.insert("accountNo"_L1, QString());
            Operations::run(operation, *worker.gateway, service, none, answer);
            return answer;
        }
    }
    if (kind == SignOn::Ends) {
        QUILLET_TRY_VALUE(const qint64 others, service.signOff(token.id, accountNo));
        if (others > 0) {
            // Other desktops keep the account signed on; this token is signed off.
            answer = Wire::statusJson(Status::ok());
            answer.insert("outcome"_L1, double(True16));
            return answer;
        }
    }
    Operations::run(operation, *worker.gateway, service, body, answer);
    if (succeeded(answer) && kind == SignOn::Opens)
        QUILLET_TRY(service.signOn(token.id, accountNo));
    if (succeeded(answer) && kind == SignOn::ChangesPassword)
        QUILLET_TRY(service.signOffOthers(token.id, accountNo));
    return answer;
}

// A keyed call once its request is checked: the lookup of its key, the operation and
// the record of its answer, as one transaction (a savepoint of a batch's, see
// WorkerPool), so that a process killed before answering has either committed all of
// them or nothing. A repeat sent while the first call runs either waits for the write lock
// and finds its answer (SQLite holds the whole store), or runs too and then fails to
// record the same key; its work is rolled back, and the answer it gives is the one the
// first call recorded.
class KeyedCall {
public:
    // What the call does inside the transaction, and whether that is kept: a call that
    // failed changed nothing and is not remembered, so it may simply be tried again.
    struct Done {
        Handled handled;
        bool kept = false;
    };
    // `signedOn`: whether the token holds the sign-on asked for with lookUpSignOn().
    using Work = std::function<Result<Done>(Worker &, std::optional<bool> signedOn)>;

    // `name` is remembered with the key; `account` is what the call changes (see
    // WorkerPool::Write); a repeat of the key is answered `repeatStatus` with the answer.
    KeyedCall(ServiceStore::Token token, QString name, QString account, Work work,
              const RequestKey &key, QString fingerprint, int repeatStatus = 200)
        : m_token(std::move(token))
        , m_name(std::move(name))
        , m_account(std::move(account))
        , m_work(std::move(work))
        , m_key(key)
        , m_fingerprint(std::move(fingerprint))
        , m_repeatStatus(repeatStatus)
    {
    }

    QString account() const { return m_account; }

    // The work needs to know whether the token holds `accountNo`'s sign-on: the lookup of
    // the key asks that too, in the same statement.
    void lookUpSignOn(const QString &accountNo) { m_signOnOf = accountNo; }

    // A send that the store may make in one statement, with the key's lookup, the
    // token's sign-on and the record of the answer riding in it: one round trip, and
    // alone one commit, for four statements and a transaction; in a batch, one statement
    // for the sends of several calls (see JointSends). `send` gives the send's row
    // (LocalGateway::sendInput); `sent` and `refused` are the call's two answers. Where
    // that cannot be, the call runs as any other.
    using Send = std::function<std::optional<QJsonObject>(Worker &)>;
    // The statement checks that the token stands: `tokenChecked` false for a token that
    // this request did not look up (see GatewayService::KnownTokens), whose check the call
    // makes itself when it runs step by step after all.
    void sendAtOnce(Send send, QByteArray sent, QByteArray refused, bool tokenChecked)
    {
        m_send = std::move(send);
        m_sent = std::move(sent);
        m_refused = std::move(refused);
        m_tokenChecked = tokenChecked;
    }
    bool sendsAtOnce() const { return bool(m_send); }

    // The answer a request with this key was given, if it still stands.
    std::optional<Handled> answeredBefore(Worker &worker) const
    {
        std::optional<ServiceStore::Remembered> earlier;
        if (worker.service->remembered(m_token.id, m_key, earlier).isOk() && earlier
            && !earlier->expired)
            return recorded(*earlier);
        return std::nullopt;
    }

    void run(Worker &worker)
    {
        if (m_send && runAtOnce(worker))
            return;
        runStepByStep(worker);
    }

    // Whether its work went into the transaction it ran in.
    bool wrote() const { return m_wrote; }

    // What the call is answered: 503 when its work was `lost` (see WorkerPool::Write).
    Handled answer(const Status &lost) const
    {
        return lost.failed() ? Handled::storeFailed(lost) : m_handled;
    }

private:
    void runStepByStep(Worker &worker)
    {
        if (!m_tokenChecked) {
            const Result<bool> stands = worker.service->stands(m_token.id);
            if (stands.failed() || !*stands) {
                m_handled = stands.failed() ? Handled::storeFailed(stands.status())
                                            : Handled::refused(Refusal::BadToken);
                return;
            }
        }
        const auto decided = worker.service->store().transaction([&]() -> Result<Store::Decision> {
            std::optional<ServiceStore::Remembered> earlier;
            std::optional<bool> signedOn;
            if (m_signOnOf.isEmpty()) {
                QUILLET_TRY(worker.service->remembered(m_token.id, m_key, earlier));
            } else {
                bool holds = false;
                QUILLET_TRY(
                    worker.service->remembered(m_token.id, m_key, earlier, m_signOnOf, holds));
                signedOn = holds;
            }
            if (earlier && !earlier->expired) {
                m_handled = recorded(*earlier);
                return Store::Decision::RollBack;
            }
            QUILLET_TRY_VALUE(const Done done, m_work(worker, signedOn));
            m_handled = done.handled;
            if (!done.kept)
                return Store::Decision::RollBack;
            QUILLET_TRY(worker.service->remember(m_token.id, m_key, m_name, m_fingerprint,
                                                 m_handled.json, earlier.has_value()));
            return Store::Decision::Commit;
        });
        worker.gateway->forgetPrepared();
        m_wrote = !decided.failed() && *decided == Store::Decision::Commit;
        if (decided.failed())
            m_handled = answeredBefore(worker).value_or(Handled::storeFailed(decided.status()));
    }

    // The call as its send's one statement; false when it is to run step by step instead:
    // the send cannot be made so. In a batch's first try the send joins the others'
    // (see Worker::joint), and is settled when they are made.
    bool runAtOnce(Worker &worker)
    {
        if (!worker.gateway->sendsAtOnce())
            return false;
        // A batch may run this again (see Worker::joint).
        m_wrote = false;
        std::optional<QJsonObject> send = m_send(worker);
        if (!send)
            return false;
        worker.service->rememberingSend(*send, m_token.id, m_key, m_name, m_fingerprint, m_sent,
                                        m_refused);
        if (worker.joint) {
            worker.joint->join(worker, m_account, std::move(*send),
                               [this](Worker &settling, const LocalGateway::RiddenSend &ridden) {
                                   if (!settle(settling, ridden))
                                       runStepByStep(settling);
                                   return m_wrote;
                               });
            return true;
        }
        Store &store = worker.service->store();
        std::vector<LocalGateway::RiddenSend> ridden;
        const auto sendAlone = [&]() -> Result<Store::Decision> {
            QUILLET_TRY_VALUE(ridden,
                              worker.gateway->sendsRiding(QJsonArray { *send },
                                                          ServiceStore::rememberingSends()));
            return Store::Decision::Commit;
        };
        // Alone, the statement commits itself; in a batch's second try, a savepoint keeps
        // its failure (a repeat of the key recorded meanwhile) from the others'.
        const Result<Store::Decision> decided
            = store.inTransaction() ? store.transaction(sendAlone) : sendAlone();
        if (decided.failed()) {
            // A repeat recorded meanwhile is answered from its record; any other failure
            // is the answer the send itself gives, and is not recorded.
            m_handled = answeredBefore(worker).value_or(
                Handled::answered(compact(Wire::statusJson(decided.status()))));
            return true;
        }
        return settle(worker, ridden.empty() ? LocalGateway::RiddenSend() : ridden.front());
    }

    // The call's answer from its send's statement; false when the key's record has
    // expired and is to be replaced step by step.
    bool settle(Worker &worker, const LocalGateway::RiddenSend &ridden)
    {
        if (ridden.columns.size() < 4 || !ridden.columns.at(3).toBool()) {
            m_handled = Handled::refused(Refusal::BadToken);
            return true;
        }
        std::optional<ServiceStore::Remembered> earlier;
        if (const Status read = worker.service->rememberedIn(ridden.columns, m_key, earlier);
            read.failed()) {
            m_handled = Handled::storeFailed(read);
            return true;
        }
        if (earlier && earlier->expired)
            return false;
        if (earlier) {
            m_handled = recorded(*earlier);
            return true;
        }
        m_handled = Handled::answered(ridden.sent ? m_sent : m_refused);
        m_wrote = true;
        return true;
    }

    Handled recorded(const ServiceStore::Remembered &earlier) const
    {
        if (earlier.fingerprint != m_fingerprint)
            return Handled::refused(Refusal::KeyReused);
        Handled repeat = Handled::answered(earlier.answer);
        repeat.status = m_repeatStatus;
        return repeat;
    }

    ServiceStore::Token m_token;
    QString m_name;
    QString m_account;
    Work m_work;
    RequestKey m_key;
    QString m_fingerprint;
    QString m_signOnOf;
    Send m_send;
    QByteArray m_sent;
    QByteArray m_refused;
    bool m_tokenChecked = true;
    int m_repeatStatus = 200;
    Handled m_handled;
    bool m_wrote = false;
};

// The console's scheduled send.
bool sendsLater(const Wire::Operation &operation)
{
    return operation.method == &Wire::Binding::Id<&GatewayClient::SendScheduledMessage>;
}

// The console's sends, at once or scheduled.
bool sends(const Wire::Operation &operation)
{
    return (operation.method == &Wire::Binding::Id<&GatewayClient::SendMessage>)
        || sendsLater(operation);
}

// The row of the console's send `operation` of `body`, where the store makes it in one
// statement (LocalGateway::sendInput), for KeyedCall::sendAtOnce; null for any other
// operation.
KeyedCall::Send sendOf(const Wire::Operation &operation, const QJsonObject &body)
{
    if (!sends(operation))
        return {};
    const bool later = sendsLater(operation);
    const auto field
        = [&](qsizetype i) { return body.value(operation.parameters.at(i)).toString(); };
    return [accountNo = field(0), phoneNo = field(1), text = field(2),
            sendTime = later ? std::optional(field(3)) : std::nullopt](Worker &worker) {
        return worker.gateway->sendInput(accountNo, phoneNo, text, sendTime);
    };
}

// A send's answer, as the call's binding writes it: its outcome, after a status of ok.
QByteArray sendAnswer(const Wire::Operation &operation, Bool16 outcome)
{
    QJsonObject answer = Wire::statusJson(Status::ok());
    Wire::Codec<Bool16>::put(answer, operation.parameters.constLast(), outcome);
    return compact(answer);
}

// What a worker makes of a request: its answer, or a keyed call to commit.
using Checked = std::variant<Handled, std::shared_ptr<KeyedCall>>;

// The request's JSON object; a refusal when it is not one the wire takes. An
// application's GET or DELETE may come without a body: an empty object.
std::optional<Handled> readBody(const QByteArray &text, QJsonObject &body)
{
    if (text.isEmpty())
        return std::nullopt;
    if (const Wire::JsonFault fault = Wire::scanJson(text); fault != Wire::JsonFault::None)
        return Handled::refused(fault == Wire::JsonFault::DuplicateKey
                                    ? Refusal::DuplicateKey
                                    : Refusal::RawControlCharacter);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return Handled::refused(Refusal::NotAJsonObject);
    body = document.object();
    return std::nullopt;
}

Handled answeredBy(const ApplicationRoutes::Answered &answered)
{
    if (!answered.refusal) {
        Handled handled = Handled::answered(compact(answered.body));
        handled.status = answered.status;
        return handled;
    }
    Handled handled = Handled::refused(*answered.refusal, answered.value);
    if (!answered.detail.isEmpty()) {
        QJsonObject whole = QJsonDocument::fromJson(handled.json).object();
        QJsonObject error = whole.value("error"_L1).toObject();
        for (auto it = answered.detail.constBegin(); it != answered.detail.constEnd(); ++it)
            error.insert(it.key(), it.value());
        whole.insert("error"_L1, error);
        handled.json = compact(whole);
    }
    return handled;
}

// An application's route, for its token's one account: a route that reads is answered
// at once; one that changes something is a keyed call, committed in its batch.
Checked handleApplication(Worker &worker, const Incoming &in, const ServiceStore::Token &token,
                          const QJsonObject &body)
{
    const ApplicationRoutes::Route &route = *in.route;
    ApplicationRoutes::Call call { token.accountNo, in.id, in.query, body, in.callbacks.get() };
    // What may take long (a name's lookup) is done before the keyed call's transaction.
    if (route.check) {
        if (const std::optional<ApplicationRoutes::Answered> refused = route.check(call))
            return answeredBy(*refused);
    }
    if (!route.keyed) {
        const Result<ApplicationRoutes::Answered> answered = route.run(*worker.gateway, call);
        if (answered.failed())
            return Handled::storeFailed(answered.status());
        return answeredBy(*answered);
    }
    const std::optional<RequestKey> key = RequestKey::derive(*in.key);
    if (!key)
        return Handled::refused(Refusal::KeyRequired);
    const QString fingerprint
        = key->fingerprint(route.name.latin1() + QByteArray(1, '\0') + QByteArray::number(in.id)
                           + '\0' + compact(body));
    return std::make_shared<KeyedCall>(
        token, QString(route.name), token.accountNo,
        [&route, call](Worker &runner, std::optional<bool>) -> Result<KeyedCall::Done> {
            QUILLET_TRY_VALUE(const ApplicationRoutes::Answered answered,
                              route.run(*runner.gateway, call));
            return KeyedCall::Done { answeredBy(answered), answered.succeeded() };
        },
        *key, fingerprint, route.status);
}

// Runs on a worker thread: everything that needs the store, up to the keyed call's
// transaction for a call that writes without hashing.
Checked handle(Worker &worker, const Incoming &in, GatewayService::SignOnFailures &failures,
               GatewayService::KnownTokens &known)
{
    if (!worker.service)
        return Handled::storeFailed(worker.failure);

    // A console's send made in one statement checks there that its token stands: a
    // token known from before needs no lookup of its own.
    const bool standsChecked
        = !in.route && in.operation->keyed && sends(*in.operation) && worker.gateway->sendsAtOnce();
    const QString knownAs
        = standsChecked ? GatewayService::KnownTokens::keyOf(in.bearer) : QString();
    std::optional<ServiceStore::Token> token;
    if (standsChecked)
        token = known.find(knownAs);
    const bool lookedUp = !token;
    if (lookedUp) {
        if (const Status status = worker.service->verify(in.bearer, token); status.failed())
            return Handled::storeFailed(status);
        if (token && standsChecked)
            known.keep(knownAs, *token);
    }
    if (!token)
        return Handled::refused(Refusal::BadToken);
    const Wire::Role role = in.route ? Wire::Role::Application : in.operation->role;
    if (token->role != role)
        return Handled::refused(Refusal::WrongRole, Wire::roleName(token->role));

    QJsonObject body;
    if (std::optional<Handled> refused = readBody(in.body, body))
        return *refused;
    if (in.route) {
        if (const qint64 wait = failures.applications.take(token->id); wait > 0) {
            Handled refused = Handled::refused(Refusal::RateLimited);
            refused.retryAfterMs = wait;
            return refused;
        }
        return handleApplication(worker, in, *token, body);
    }
    if (const QString why = Wire::validate(*in.operation, body); !why.isEmpty())
        return Handled::refused(Refusal::InvalidField, why);

    // Failed sign-ons are limited per token and per token and account, before any slow
    // hash is made for them.
    const SignOn kind = in.operation->signOn;
    const QString tokenKey = QString::number(token->id);
    const QString pairKey = tokenKey + u' ' + body.value("accountNo"_L1).toString();
    if (kind == SignOn::Opens) {
        const qint64 wait = qMax(failures.perToken.retryAfterMs(tokenKey),
                                 failures.perAccount.retryAfterMs(pairKey));
        if (wait > 0) {
            Handled refused = Handled::refused(Refusal::TooManySignOnFailures);
            refused.retryAfterMs = wait;
            return refused;
        }
    }

    if (!in.operation->keyed) {
        const Result<QJsonObject> answer = runAs(worker, *token, *in.operation, body);
        if (answer.failed())
            return Handled::storeFailed(answer.status());
        return Handled::answered(compact(*answer));
    }

    const std::optional<RequestKey> key = RequestKey::derive(*in.key);
    if (!key)
        return Handled::refused(Refusal::KeyRequired);
    const QString fingerprint
        = key->fingerprint(in.operation->name.latin1() + QByteArray(1, '\0') + compact(body));
    const Wire::Operation &operation = *in.operation;
    // A call on the tokens holds no account's row, but waits on the index of active
    // tokens' names, which a batch cannot order with its accounts: it commits on its own.
    const QString account
        = operation.serveTokens ? QString() : body.value("accountNo"_L1).toString();
    auto call = std::make_shared<KeyedCall>(
        *token, QString(operation.name), account,
        [token = *token, &operation,
         body](Worker &runner, std::optional<bool> signedOn) -> Result<KeyedCall::Done> {
            QUILLET_TRY_VALUE(const QJsonObject answer,
                              runAs(runner, token, operation, body, signedOn));
            Status status;
            const bool kept = Wire::statusFromJson(answer, status) && status.isOk();
            return KeyedCall::Done { Handled::answered(compact(answer)), kept };
        },
        *key, fingerprint);
    // A sign-off looks at the sign-ons only once it holds the account (see runAs).
    if (kind != SignOn::NotNeeded && kind != SignOn::Opens && kind != SignOn::Ends)
        call->lookUpSignOn(body.value("accountNo"_L1).toString());
    if (KeyedCall::Send send = sendOf(operation, body))
        call->sendAtOnce(std::move(send), sendAnswer(operation, True16),
                         sendAnswer(operation, False16), lookedUp);
    // A call that writes without hashing looks its key up in its batch.
    if (!in.operation->hashes())
        return call;
    // A repeat is answered at once, before any slow work is made for it.
    if (std::optional<Handled> repeat = call->answeredBefore(worker))
        return *repeat;

    // The password hashes the call needs are made before the write lock is taken, so
    // that nobody waits on the lock meanwhile; the call then commits on its own.
    bool mine = true;
    if (kind != SignOn::NotNeeded && kind != SignOn::Opens) {
        const Result<bool> signedOn
            = worker.service->signedOn(token->id, body.value("accountNo"_L1).toString());
        mine = !signedOn.failed() && *signedOn;
    }
    if (mine)
        Operations::prepare(*in.operation, *worker.gateway, body);
    call->run(worker);
    worker.gateway->notifyQueued();
    Handled handled = call->answer(Status::ok());
    handled.committed = call->wrote();
    if (kind == SignOn::Opens && handled.status == 200
        && !succeeded(QJsonDocument::fromJson(handled.json).object())) {
        failures.perToken.count(tokenKey);
        failures.perAccount.count(pairKey);
    }
    return handled;
}

// Runs on a worker thread: the metrics, for an operator's token, whose check is the
// operations' own.
Handled scrape(Worker &worker, const QString &bearer, const ServiceMetrics &metrics)
{
    if (!worker.service)
        return Handled::storeFailed(worker.failure);
    std::optional<ServiceStore::Token> token;
    if (const Status status = worker.service->verify(bearer, token); status.failed())
        return Handled::storeFailed(status);
    if (!token)
        return Handled::refused(Refusal::BadToken);
    if (token->role != Wire::Role::Operator)
        return Handled::refused(Refusal::WrongRole, Wire::roleName(token->role));
    Handled handled = Handled::answered(metrics.render());
    handled.contentType = ServiceMetrics::ContentType;
    return handled;
}

} // namespace

GatewayService::Reply GatewayService::Reply::answered(QByteArray json)
{
    Reply reply;
    reply.json = std::move(json);
    return reply;
}

GatewayService::Reply GatewayService::Reply::refused(Refusal refusal, const QString &value)
{
    Reply reply;
    reply.status = ServiceTexts::refusalOf(refusal).status;
    reply.json = ConnectionGuard::refusalBody(refusal, value);
    reply.authFailed = refusal == Refusal::BadToken;
    return reply;
}

GatewayService::Reply GatewayService::Reply::storeFailed(const Status &why)
{
    Reply reply = refused(Refusal::StoreUnavailable);
    reply.detail = why.description();
    reply.storeFailure = why.code();
    return reply;
}

GatewayService::GatewayService(Options options, QObject *parent)
    : QAbstractHttpServer(parent)
    , m_options(std::move(options))
    , m_ownMetrics(m_options.metrics ? nullptr : new ServiceMetrics)
    , m_metrics(m_options.metrics ? m_options.metrics : m_ownMetrics.get())
    , m_log(m_options.log ? m_options.log : new ServiceLog({}, this))
    , m_authFailures(m_options.authFailureLimit, m_options.authWindowMs)
    , m_signOnFailures(new SignOnFailures {
          FailureWindow(m_options.signOnTokenFailureLimit, m_options.authWindowMs),
          FailureWindow(m_options.signOnFailureLimit, m_options.authWindowMs),
          RateLimiter(m_options.applicationRateLimit) })
    , m_knownTokens(std::make_unique<KnownTokens>())
{
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
                ServiceLog::Answered refused { peer, u"-"_s, status, 0, {} };
                refused.kind = ServiceLog::Answered::Kind::Refused;
                refused.connectionRefused = true;
                m_log->answered(refused);
            });
    connect(m_guard, &ConnectionGuard::notice, this, [this](const QString &line) {
        m_log->event(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) + u' ' + line);
    });
    connect(m_guard, &ConnectionGuard::dropped, this,
            [this](ConnectionGuard::Refusal reason) { m_metrics->refused(reason); });
    connect(m_guard, &ConnectionGuard::openChanged, this,
            [this](int connections) { m_metrics->setConnectionsOpen(connections); });
    if (!m_guard->listen(address, port)) {
        const QString why = m_guard->errorString();
        delete m_guard;
        m_guard = nullptr;
        return Status::failure(Status::CreationFailed,
                               ServiceTexts::cannotListen(address.toString(), port, why));
    }
    bind(m_guard);
    WorkerPool::Options pool;
    pool.store = m_options.store;
    pool.threads = m_options.workers;
    pool.slowSlots = m_options.hashingSlots;
    pool.gateway = m_options.gateway;
    pool.batchMost = m_options.batchMost;
    pool.batchWaitUs = m_options.batchWaitUs;
    pool.committed = [metrics = m_metrics, wrote = m_options.wrote](int writes) {
        metrics->observeCommit(writes);
        if (writes > 0 && wrote)
            wrote();
    };
    m_pool = std::make_unique<WorkerPool>(std::move(pool));
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

void GatewayService::reload(const Options &options)
{
    m_options.tls = options.tls;
    m_options.limits = options.limits;
    m_options.authFailureLimit = options.authFailureLimit;
    m_options.authWindowMs = options.authWindowMs;
    m_options.signOnFailureLimit = options.signOnFailureLimit;
    m_options.signOnTokenFailureLimit = options.signOnTokenFailureLimit;
    if (m_guard) {
        m_guard->setLimits(m_options.limits);
        m_guard->setTls(m_options.tls);
    }
    m_authFailures.setLimit(m_options.authFailureLimit, m_options.authWindowMs);
    m_signOnFailures->perToken.setLimit(m_options.signOnTokenFailureLimit, m_options.authWindowMs);
    m_signOnFailures->perAccount.setLimit(m_options.signOnFailureLimit, m_options.authWindowMs);
    m_options.applicationRateLimit = options.applicationRateLimit;
    m_signOnFailures->applications.setRate(m_options.applicationRateLimit);
}

void GatewayService::finishStopping()
{
    if (m_guard)
        m_guard->closeAll();
    Q_EMIT stopped();
}

bool GatewayService::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QElapsedTimer timer;
    timer.start();
    const QHostAddress peer = request.remoteAddress();
    // The connection by number: the socket may be gone (and its address reused) by the
    // time a worker answers.
    const quint64 target = m_guard ? m_guard->idOf(socket) : 0;
    if (request.url().path() == ServiceMetrics::Path)
        return serveMetrics(request, target, peer, timer);
    const Wire::Operation *operation = Wire::findByPath(request.url().path());
    qint64 id = 0;
    const QList<const ApplicationRoutes::Route *> routes = operation
        ? QList<const ApplicationRoutes::Route *>()
        : ApplicationRoutes::find(request.url().path(), id);
    const ApplicationRoutes::Route *route = nullptr;
    QStringList methods;
    for (const ApplicationRoutes::Route *candidate : routes) {
        methods.append(QString::fromLatin1(candidate->method));
        if (methodName(request.method()) == candidate->method)
            route = candidate;
    }
    QString name = u"-"_s;
    if (operation)
        name = operation->name;
    else if (route)
        name = route->name;

    auto refuse = [&](Refusal refusal, const QString &value = {}) {
        finish(target, peer, name, timer, Reply::refused(refusal, value));
        return true;
    };
    if (!operation && routes.isEmpty())
        return refuse(Refusal::NoSuchOperation);
    if (operation && request.method() != QHttpServerRequest::Method::Post)
        return refuse(Refusal::PostOnly);
    if (!operation && !route)
        return refuse(Refusal::MethodNotAllowed, methods.join(u" or "_s));
    if (m_stopping)
        return refuse(Refusal::Stopping);
    if (request.body().size() > Wire::MaxBodyBytes)
        return refuse(Refusal::BodyTooLarge, QString::number(Wire::MaxBodyBytes));
    const QByteArray type = header(request, "content-type").toLower();
    if ((operation || !request.body().isEmpty()) && !type.startsWith("application/json"))
        return refuse(Refusal::JsonOnly);

    Incoming in;
    in.operation = operation;
    in.route = route;
    in.id = id;
    in.query = QUrlQuery(request.url());
    in.callbacks = m_options.callbacks;
    in.bearer = Wire::bearerToken(header(request, "authorization"));
    const bool keyed = operation ? operation->keyed : route->keyed;
    if (keyed) {
        const QString key = QString::fromLatin1(header(request, "idempotency-key"));
        if (!Wire::isAcceptableKey(key))
            return refuse(Refusal::KeyRequired);
        in.key = key;
    }
    in.body = request.body();

    WorkerPool::Lane lane = WorkerPool::Lane::Quick;
    if (operation && operation->hashes())
        lane = WorkerPool::Lane::Slow;
    else if (keyed)
        lane = WorkerPool::Lane::Write;
    SignOnFailures *failures = m_signOnFailures.get();
    KnownTokens *known = m_knownTokens.get();
    const Answer answer = answerLater(target, peer, name, timer);
    m_pool->post(
        [this, in = std::move(in), failures, known, answer](Worker &worker) {
            Checked checked = handle(worker, in, *failures, *known);
            if (const auto *handled = std::get_if<Handled>(&checked)) {
                // A call that hashes commits on its own, in handle().
                if (handled->committed)
                    m_metrics->observeCommit(1);
                answer(*handled);
                return;
            }
            std::shared_ptr<KeyedCall> call = std::get<std::shared_ptr<KeyedCall>>(checked);
            m_pool->commit(worker,
                           WorkerPool::Write {
                               call->account(),
                               [call](Worker &committer) {
                                   call->run(committer);
                                   return call->wrote();
                               },
                               [call, answer](const Status &ended) { answer(call->answer(ended)); },
                               call->sendsAtOnce() });
        },
        lane);
    return true;
}

// Counts the request in flight; what is given to the answer, from any thread, is
// written on the event loop's.
GatewayService::Answer GatewayService::answerLater(quint64 target, const QHostAddress &peer,
                                                   const QString &operation,
                                                   const QElapsedTimer &timer)
{
    ++m_inFlight;
    m_metrics->requestStarted();
    return [this, target, peer, operation, timer](const Reply &reply) {
        QMetaObject::invokeMethod(
            this,
            [this, reply, target, peer, operation, timer] {
                --m_inFlight;
                m_metrics->requestFinished();
                finish(target, peer, operation, timer, reply);
                if (m_stopping && m_inFlight == 0)
                    finishStopping();
            },
            Qt::QueuedConnection);
    };
}

bool GatewayService::serveMetrics(const QHttpServerRequest &request, quint64 target,
                                  const QHostAddress &peer, const QElapsedTimer &timer)
{
    const QString name = ServiceMetrics::Operation;
    if (request.method() != QHttpServerRequest::Method::Get) {
        finish(target, peer, name, timer, Reply::refused(Refusal::GetOnly));
        return true;
    }
    if (m_stopping) {
        finish(target, peer, name, timer, Reply::refused(Refusal::Stopping));
        return true;
    }
    const Answer answer = answerLater(target, peer, name, timer);
    m_pool->post([this, bearer = Wire::bearerToken(header(request, "authorization")),
                  answer](Worker &worker) { answer(scrape(worker, bearer, *m_metrics)); });
    return true;
}

void GatewayService::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    QElapsedTimer timer;
    timer.start();
    finish(m_guard ? m_guard->idOf(socket) : 0, request.remoteAddress(), u"-"_s, timer,
           Reply::refused(Refusal::NoSuchOperation));
}

void GatewayService::finish(quint64 connection, const QHostAddress &peer, const QString &operation,
                            const QElapsedTimer &timer, const Reply &given)
{
    Reply reply = given;
    // Past the limit, an address's failed authentications are answered 429 until its
    // window closes; its valid tokens never reach here.
    if (reply.authFailed) {
        if (const qint64 wait = m_authFailures.retryAfterMs(peer.toString()); wait > 0) {
            reply = Reply::refused(Refusal::TooManyFailures);
            reply.authFailed = true;
            reply.retryAfterMs = wait;
        } else {
            m_authFailures.count(peer.toString());
        }
        m_metrics->authenticationFailed(reply.status);
    }
    if (reply.storeFailure != 0)
        m_metrics->storeFailed(reply.storeFailure);
    m_metrics->answered(operation, reply.status, timer.nsecsElapsed());
    QByteArray headers;
    if (reply.retryAfterMs > 0)
        headers = "Retry-After: " + QByteArray::number((reply.retryAfterMs + 999) / 1000) + "\r\n";
    if (m_guard) {
        m_guard->answer(connection, reply.status, reply.json, headers,
                        reply.contentType.isEmpty() ? ConnectionGuard::JsonType
                                                    : reply.contentType);
    }
    // Refusals (of a token, a role, a limit) and failures go to the journal always; the
    // request log, when there is one, has every answer.
    ServiceLog::Answered answered { peer, operation, reply.status,
                                    double(timer.nsecsElapsed()) / 1e6, reply.detail };
    if (reply.status >= 500)
        answered.kind = ServiceLog::Answered::Kind::Failed;
    else if (reply.status == 401 || reply.status == 403 || reply.status == 429)
        answered.kind = ServiceLog::Answered::Kind::Refused;
    answered.authFailed = reply.authFailed;
    answered.storeFailed = reply.storeFailure != 0;
    m_log->answered(answered);
}
