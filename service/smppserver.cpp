#include "service/smppserver.h"

#include "gateway/local/applicationapi.h"
#include "gateway/local/passwordhasher.h"
#include "gateway/local/smppaccounts.h"
#include "service/callbackdispatcher.h"
#include "service/servicetexts.h"
#include "service/smppserversession.h"
#include "service/smppsubmit.h"
#include "service/workerpool.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSslSocket>
#include <QSysInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

QString modeName(SmppServerSession::Mode mode)
{
    switch (mode) {
    case SmppServerSession::Mode::Transmitter:
        return u"transmitter"_s;
    case SmppServerSession::Mode::Receiver:
        return u"receiver"_s;
    case SmppServerSession::Mode::Transceiver:
        break;
    }
    return u"transceiver"_s;
}

// A message id as the gateway gives it: a positive decimal number.
std::optional<qint64> messageId(const QByteArray &text)
{
    bool ok = false;
    const qint64 id = text.toLongLong(&ok);
    if (!ok || id <= 0 || QByteArray::number(id) != text)
        return std::nullopt;
    return id;
}

} // namespace

class SmppServer::Listener : public QTcpServer {
public:
    explicit Listener(SmppServer &server)
        : QTcpServer(&server)
        , m_server(server)
    {
    }

protected:
    void incomingConnection(qintptr descriptor) override { m_server.accept(descriptor); }

private:
    SmppServer &m_server;
};

SmppServer::SmppServer(Options options, WorkerPool &pool, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_pool(pool)
    , m_process(u"%1:%2"_s.arg(QSysInfo::machineHostName()).arg(QCoreApplication::applicationPid()))
    , m_byAddress(m_options.failureLimit, m_options.failureWindowMs)
    , m_bySystemId(m_options.failureLimit, m_options.failureWindowMs)
    , m_rate(m_options.ratePerSecond)
{
    m_touch.setInterval(
        int(qMin<qint64>(SmppAccounts::TouchEveryMs, m_options.settings.enquireLinkMs)));
    connect(&m_touch, &QTimer::timeout, this, &SmppServer::touch);
    m_poll.setInterval(PollMs);
    connect(&m_poll, &QTimer::timeout, this, &SmppServer::poll);
}

SmppServer::~SmppServer()
{
    for (SmppServerSession *session : std::as_const(m_sessions)) {
        session->disconnect(this);
        delete session;
    }
}

Status SmppServer::start(quint16 &bound)
{
    const SmppServerSettings &settings = m_options.settings;
    if (settings.tls && !m_options.tls)
        return Status::failure(Status::CreationFailed, ServiceTexts::smppTlsWithoutCertificate());
    if (!settings.listen.isLoopback() && !settings.tls)
        return Status::failure(Status::CreationFailed,
                               ServiceTexts::tlsRequired(settings.listen.toString()));
    m_listener = new Listener(*this);
    if (!m_listener->listen(settings.listen, settings.port)) {
        const QString why = m_listener->errorString();
        delete m_listener;
        m_listener = nullptr;
        return Status::failure(
            Status::CreationFailed,
            ServiceTexts::cannotListen(settings.listen.toString(), settings.port, why));
    }
    bound = m_listener->serverPort();
    m_touch.start();
    m_poll.start();
    return Status::ok();
}

void SmppServer::stop()
{
    if (m_listener)
        m_listener->close();
    m_touch.stop();
    m_poll.stop();
    const QList<SmppServerSession *> open = m_sessions.values();
    for (SmppServerSession *session : open)
        session->unbind();
}

void SmppServer::setLimits(int failureLimit, int failureWindowMs, int ratePerSecond)
{
    m_byAddress.setLimit(failureLimit, failureWindowMs);
    m_bySystemId.setLimit(failureLimit, failureWindowMs);
    m_rate.setRate(ratePerSecond);
}

void SmppServer::accept(qintptr descriptor)
{
    std::unique_ptr<QTcpSocket> socket;
    if (m_options.settings.tls) {
        auto tls = std::make_unique<QSslSocket>();
        if (!tls->setSocketDescriptor(descriptor))
            return;
        tls->setSslConfiguration(*m_options.tls);
        tls->startServerEncryption();
        socket = std::move(tls);
    } else {
        socket = std::make_unique<QTcpSocket>();
        if (!socket->setSocketDescriptor(descriptor))
            return;
    }
    const quint64 id = m_nextId++;
    auto *session = new SmppServerSession(id, std::move(socket), *this, m_options.settings);
    // Its child, so that one ended but not yet deleted goes with the server.
    session->setParent(this);
    connect(session, &SmppServerSession::ended, this, &SmppServer::ended);
    m_sessions.insert(id, session);
}

void SmppServer::ended(quint64 id)
{
    SmppServerSession *session = m_sessions.take(id);
    if (!session)
        return;
    // What it was sending goes to the next claim, on any receiver of the account.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto handed = m_handed.begin(); handed != m_handed.end();) {
        if (handed->session == id) {
            m_settled.append({ handed.key(), false, ServiceTexts::smppSessionLost(), now });
            handed = m_handed.erase(handed);
        } else {
            ++handed;
        }
    }
    if (const qint64 bindId = session->bindId(); bindId > 0) {
        m_options.log(ServiceTexts::smppUnbound(session->systemId(), session->address()));
        m_pool.post([bindId](Worker &worker) {
            if (worker.gateway)
                (void)SmppAccounts(*worker.gateway).closeBind(bindId);
        });
    }
    session->deleteLater();
}

void SmppServer::later(quint64 id, std::function<void(SmppServerSession &)> work)
{
    QMetaObject::invokeMethod(
        this,
        [this, id, work = std::move(work)] {
            if (SmppServerSession *session = m_sessions.value(id))
                work(*session);
        },
        Qt::QueuedConnection);
}

// The limits are looked at before any hash is made: a guesser past them costs nothing.
void SmppServer::checkBind(SmppServerSession &session, quint32 sequence,
                           const Smpp::BindRequest &bind)
{
    const quint64 id = session.id();
    const QString address = session.address().section(u':', 0, -2);
    const QString systemId = QString::fromLatin1(bind.systemId);
    if (m_byAddress.retryAfterMs(address) > 0 || m_bySystemId.retryAfterMs(systemId) > 0) {
        m_options.log(ServiceTexts::smppBindRefused(systemId, session.address()));
        session.refused(Smpp::Status::BindFailed, sequence);
        return;
    }
    const auto holding = std::count_if(
        m_sessions.cbegin(), m_sessions.cend(), [&](const SmppServerSession *other) {
            return other != &session && other->systemId() == systemId;
        });
    if (holding >= m_options.settings.maxBindsPerAccount) {
        session.refused(Smpp::Status::BindFailed, sequence);
        return;
    }
    const QString password = QString::fromLatin1(bind.password);
    const QString mode = modeName(session.mode());
    const QString peer = session.address();
    const QString process = m_process;
    m_pool.post(
        [this, id, sequence, systemId, password, mode, peer, address, process](Worker &worker) {
            quint32 status = Smpp::Status::SystemError;
            std::optional<SmppAccounts::Holder> found;
            qint64 bindId = 0;
            if (worker.gateway) {
                SmppAccounts accounts(*worker.gateway);
                const auto holder = accounts.holder(systemId);
                if (!holder.failed()) {
                    found = *holder;
                    status = !found ? Smpp::Status::InvalidSystemId
                        : !PasswordHasher::verify(found->passwordHash, password)
                        ? Smpp::Status::InvalidPassword
                        : Smpp::Status::Ok;
                }
                if (status == Smpp::Status::Ok) {
                    const auto opened = accounts.openBind(found->accountId, process, mode, peer);
                    if (opened.failed())
                        status = Smpp::Status::SystemError;
                    else
                        bindId = *opened;
                }
            }
            QMetaObject::invokeMethod(
                this,
                [=, this] {
                    SmppServerSession *checked = m_sessions.value(id);
                    if (status == Smpp::Status::Ok) {
                        if (!checked) {
                            m_pool.post([bindId](Worker &w) {
                                if (w.gateway)
                                    (void)SmppAccounts(*w.gateway).closeBind(bindId);
                            });
                            return;
                        }
                        checked->bound(found->accountNo, found->accountId, bindId, sequence);
                        m_options.log(ServiceTexts::smppBound(systemId, mode, peer));
                        return;
                    }
                    if (status == Smpp::Status::SystemError) {
                        if (checked)
                            checked->refused(status, sequence);
                        return;
                    }
                    m_byAddress.count(address);
                    m_bySystemId.count(systemId);
                    m_options.log(ServiceTexts::smppBindRefused(systemId, peer));
                    // The answer waits, so that guessing costs the guesser time.
                    QTimer::singleShot(m_options.settings.failedBindDelayMs, this,
                                       [this, id, status, sequence] {
                                           if (SmppServerSession *s = m_sessions.value(id))
                                               s->refused(status, sequence);
                                       });
                },
                Qt::QueuedConnection);
        },
        WorkerPool::Lane::Slow);
}

void SmppServer::submit(SmppServerSession &session, const Smpp::Pdu &pdu)
{
    const quint64 id = session.id();
    const quint32 sequence = pdu.header.sequence;
    // data_sm is a submit with everything in optional parameters, answered in kind.
    const Smpp::Command answerKind = Smpp::Command(pdu.header.command) == Smpp::Command::DataSm
        ? Smpp::Command::DataSmResp
        : Smpp::Command::SubmitSmResp;
    const auto refuse = [sequence, answerKind](quint32 status) {
        return Smpp::response(answerKind, sequence, status, {});
    };
    if (m_rate.take(session.accountId()) > 0) {
        session.answer(refuse(Smpp::Status::Throttled), true);
        return;
    }
    const QString accountNo = session.accountNo();
    const Smpp::ShortMessage message = pdu.message;
    m_pool.post(
        [this, id, sequence, answerKind, accountNo, message, refuse](Worker &worker) {
            const auto answer = [this, id](const QByteArray &answered) {
                later(id, [answered](SmppServerSession &s) { s.answer(answered, true); });
            };
            if (!worker.gateway)
                return answer(refuse(Smpp::Status::SystemError));
            const auto account = ApplicationApi(*worker.gateway).account(accountNo);
            if (account.failed() || !*account)
                return answer(refuse(Smpp::Status::SystemError));
            const auto checked = SmppSubmit::sendOf(message, (*account)->serviceNumber,
                                                    QDateTime::currentMSecsSinceEpoch());
            if (const quint32 *status = std::get_if<quint32>(&checked))
                return answer(refuse(*status));
            auto sent = std::make_shared<std::optional<ApplicationApi::Sent>>();
            m_pool.commit(worker,
                          WorkerPool::Write {
                              accountNo,
                              [accountNo, send = std::get<ApplicationApi::Send>(checked),
                               sent](Worker &committer) {
                                  if (!committer.gateway)
                                      return false;
                                  auto result
                                      = ApplicationApi(*committer.gateway).send(accountNo, send);
                                  if (result.failed())
                                      return false;
                                  *sent = *result;
                                  return (*sent)->refused == ApplicationApi::Sent::Refused::None;
                              },
                              [sent, answer, refuse, sequence, answerKind](const Status &lost) {
                                  if (lost.failed() || !*sent)
                                      return answer(refuse(Smpp::Status::SystemError));
                                  const quint32 status = SmppSubmit::statusOf(**sent);
                                  if (status != Smpp::Status::Ok)
                                      return answer(refuse(status));
                                  answer(Smpp::response(
                                      answerKind, sequence, Smpp::Status::Ok,
                                      QByteArray::number((*sent)->messages.constFirst().id)));
                              } });
        },
        WorkerPool::Lane::Write);
}

void SmppServer::lookUp(SmppServerSession &session, const Smpp::Pdu &pdu)
{
    const quint64 id = session.id();
    const quint32 sequence = pdu.header.sequence;
    const bool query = Smpp::Command(pdu.header.command) == Smpp::Command::QuerySm;
    const auto refuse = [sequence, query](quint32 status) {
        return query ? Smpp::querySmResp(sequence, status, {}, {}, 0, 0)
                     : Smpp::bare(Smpp::Command::CancelSmResp, sequence, status);
    };
    const std::optional<qint64> message = messageId(pdu.id);
    if (!message) {
        session.answer(refuse(Smpp::Status::InvalidMessageId), false);
        return;
    }
    const QString accountNo = session.accountNo();
    const auto answer = [this, id](const QByteArray &answered) {
        later(id, [answered](SmppServerSession &s) { s.answer(answered, false); });
    };
    if (query) {
        m_pool.post([=, this](Worker &worker) {
            if (!worker.gateway)
                return answer(refuse(Smpp::Status::SystemError));
            const auto view = ApplicationApi(*worker.gateway).message(accountNo, *message);
            if (view.failed())
                return answer(refuse(Smpp::Status::SystemError));
            if (!*view)
                return answer(refuse(Smpp::Status::QueryFailed));
            answer(Smpp::querySmResp(sequence, Smpp::Status::Ok, QByteArray::number(*message),
                                     SmppSubmit::finalDate(**view), SmppSubmit::stateOf(**view),
                                     0));
        });
        return;
    }
    m_pool.post(
        [=, this](Worker &worker) {
            auto outcome = std::make_shared<quint32>(Smpp::Status::SystemError);
            m_pool.commit(
                worker,
                WorkerPool::Write {
                    accountNo,
                    [=](Worker &committer) {
                        if (!committer.gateway)
                            return false;
                        const auto cancelled
                            = ApplicationApi(*committer.gateway).cancel(accountNo, *message);
                        if (cancelled.failed())
                            return false;
                        const bool done
                            = cancelled->outcome == ApplicationApi::Cancelled::Outcome::Cancelled;
                        *outcome = done ? Smpp::Status::Ok : Smpp::Status::CancelFailed;
                        return done;
                    },
                    [=](const Status &lost) {
                        answer(refuse(lost.failed() ? Smpp::Status::SystemError : *outcome));
                    } });
        },
        WorkerPool::Lane::Write);
}

// Each bind's row seen again with its counts; one whose row went ends.
void SmppServer::touch()
{
    for (SmppServerSession *session : std::as_const(m_sessions)) {
        if (!session->isBound())
            continue;
        const quint64 id = session->id();
        const qint64 bindId = session->bindId();
        const SmppAccounts::Counts counts { session->submitted(), session->receipts(),
                                            session->arrivals() };
        m_pool.post([this, id, bindId, counts](Worker &worker) {
            if (!worker.gateway)
                return;
            const auto there = SmppAccounts(*worker.gateway).touchBind(bindId, counts);
            if (!there.failed() && !*there)
                later(id, [](SmppServerSession &s) { s.unbind(); });
        });
    }
}

void SmppServer::wake()
{
    if (m_wakeWaiting.exchange(true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_wakeWaiting = false;
            if (m_poll.isActive())
                poll();
        },
        Qt::QueuedConnection);
}

void SmppServer::poll()
{
    if (m_claiming) {
        m_pollAgain = true;
        return;
    }
    QHash<qint64, int> room;
    for (const SmppServerSession *session : std::as_const(m_sessions)) {
        if (session->receives())
            room[session->accountId()] += qMax(0, session->room());
    }
    int most = 0;
    QList<qint64> accounts;
    for (auto it = room.cbegin(); it != room.cend(); ++it) {
        if (it.value() > 0) {
            accounts.append(it.key());
            most += it.value();
        }
    }
    most = qMin(most, MostClaimed);
    const bool sweep = !m_swept.isValid() || m_swept.hasExpired(SweepEveryMs);
    if (most == 0 && m_settled.isEmpty() && !sweep)
        return;
    if (sweep)
        m_swept.start();
    m_claiming = true;
    const QList<Outbox::Settled> settled = std::exchange(m_settled, {});
    const qint64 leaseMs = 3LL * m_options.settings.responseTimeoutMs;
    const qint64 keepMs = qint64(m_options.settings.receiptsKeptS) * 1000;
    const QString process = m_process;
    m_pool.post(
        [this, accounts, most, leaseMs, keepMs, sweep, settled, process](Worker &worker) {
            std::optional<QList<Outbox::SmppEvent>> claimed;
            if (worker.gateway) {
                const auto result = Outbox(*worker.gateway, process)
                                        .claimSmpp(accounts, most, leaseMs, keepMs, sweep, settled);
                if (!result.failed())
                    claimed = *result;
            }
            QMetaObject::invokeMethod(
                this,
                [this, claimed, settled] {
                    m_claiming = false;
                    // The store away: settled again with the next claim (this process
                    // still holds them), or sent again once their leases run out.
                    if (!claimed) {
                        m_settled = settled + m_settled;
                        return;
                    }
                    handOut(*claimed);
                    if (std::exchange(m_pollAgain, false))
                        poll();
                },
                Qt::QueuedConnection);
        },
        WorkerPool::Lane::Write);
}

// Each to the receiver of its account with the most room; one with none left (it
// unbound meanwhile) is tried again at once.
void SmppServer::handOut(const QList<Outbox::SmppEvent> &events)
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const Outbox::SmppEvent &event : events) {
        const auto room = [&event](const SmppServerSession *session) {
            return session->receives() && session->accountId() == event.accountId ? session->room()
                                                                                  : 0;
        };
        const auto best
            = std::max_element(m_sessions.cbegin(), m_sessions.cend(),
                               [&room](const SmppServerSession *a, const SmppServerSession *b) {
                                   return room(a) < room(b);
                               });
        SmppServerSession *chosen = best != m_sessions.cend() && room(*best) > 0 ? *best : nullptr;
        if (!chosen) {
            m_settled.append({ event.id, false, ServiceTexts::smppNoReceiver(), now });
            continue;
        }
        const QList<Smpp::ShortMessage> parts = event.arrival
            ? SmppSubmit::arrivalOf(event)
            : QList<Smpp::ShortMessage> { SmppSubmit::receiptOf(event) };
        if (parts.isEmpty()) {
            m_settled.append({ event.id, false, ServiceTexts::smppCannotDeliver(), std::nullopt });
            continue;
        }
        m_handed.insert(event.id, { chosen->id(), event.attempts, event.arrival });
        chosen->deliver(event.id, event.arrival, parts);
    }
}

void SmppServer::delivered(const SmppServerSession &session, qint64 eventId, quint32 status)
{
    const auto handed = m_handed.constFind(eventId);
    if (handed == m_handed.cend() || handed->session != session.id())
        return;
    const Handed was = *handed;
    m_handed.erase(handed);
    // The answer is written, and the room it made filled, with the others read meanwhile.
    wake();
    if (status == Smpp::Status::Ok) {
        m_settled.append({ eventId, true, {}, {}, was.arrival });
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    m_settled.append({ eventId, false, ServiceTexts::smppDeliverRefused(status),
                       now + CallbackDispatcher::retryDelayMs(1'000, was.attempts + 1, 0) });
}
