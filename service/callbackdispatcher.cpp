#include "service/callbackdispatcher.h"

#include "gateway/local/localgateway.h"
#include "gateway/local/messageview.h"
#include "gateway/local/outbox.h"
#include "gateway/local/store.h"
#include "service/servicetexts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QQueue>
#include <QSslCertificate>
#include <QSysInfo>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace {

QJsonObject arrivalData(const Outbox::Arrival &a)
{
    return QJsonObject {
        { u"id"_s, QString::number(a.id) },
        { u"from"_s, a.from },
        { u"to"_s, a.to },
        { u"text"_s, a.text },
        { u"receivedAt"_s, Store::timeText(a.receivedAt) },
    };
}

} // namespace

qint64 CallbackDispatcher::retryDelayMs(qint64 firstMs, int attempts, double jitter)
{
    qint64 delay = firstMs;
    for (int i = 1; i < attempts && delay < RetryMostMs; ++i)
        delay *= 2;
    delay = std::min(delay, RetryMostMs);
    return delay + qint64(double(delay) / 4 * std::clamp(jitter, 0.0, 1.0));
}

class CallbackRunner : public QObject {
public:
    explicit CallbackRunner(const CallbackDispatcher::Options &options)
        : m_options(options)
        , m_random(std::random_device {}())
    {
    }

    Status open()
    {
        LocalGateway::Options gatewayOptions;
        gatewayOptions.hashCost = m_options.hashCost;
        QUILLET_TRY(LocalGateway::open(m_options.store, m_gateway, gatewayOptions));
        const QString process
            = u"%1:%2"_s.arg(QSysInfo::machineHostName()).arg(QCoreApplication::applicationPid());
        m_outbox = std::make_unique<Outbox>(*m_gateway, process);
        m_network = new QNetworkAccessManager(this);
        m_tls = QSslConfiguration::defaultConfiguration();
        if (!m_options.caFile.isEmpty())
            m_tls.setCaCertificates(QSslCertificate::fromPath(m_options.caFile));
        m_timer = new QTimer(this);
        connect(m_timer, &QTimer::timeout, this, &CallbackRunner::poll);
        m_timer->start(m_options.pollMs);
        return Status::ok();
    }

    void stop()
    {
        m_stopping = true;
        if (m_timer)
            m_timer->stop();
        flush();
        // Their events stay claimed until the leases run out: sent again then, not lost.
        const QList<QNetworkReply *> replies
            = m_network ? m_network->findChildren<QNetworkReply *>() : QList<QNetworkReply *>();
        for (QNetworkReply *reply : replies)
            reply->abort();
        m_outbox.reset();
        m_gateway.reset();
    }

    // Claims only what it can send before the leases run out: a queue of a few rounds
    // for each URL at most.
    void poll()
    {
        if (m_stopping || !m_outbox)
            return;
        if (m_options.observer && (!m_counted.isValid() || m_counted.hasExpired(CountEveryMs))) {
            m_counted.start();
            if (const auto counts = m_outbox->counts(); !counts.failed())
                m_options.observer->outboxCounted(*counts);
        }
        claim({});
    }

private:
    // Settles what `settled` says and takes what fits in the queues, in one commit.
    void claim(const QList<Outbox::Settled> &settled)
    {
        const int most = 4 * m_options.perUrl - m_held;
        if (most <= 0 && settled.isEmpty())
            return;
        // The store away: what was settled stays claimed until the leases run out, and
        // is sent again then; the next poll tries again.
        const Result<QList<Outbox::Event>> claimed
            = m_outbox->claim(most, m_options.leaseMs, settled);
        if (claimed.failed())
            return;
        for (const Outbox::Event &event : *claimed) {
            m_queues[event.url].enqueue(event);
            ++m_held;
        }
        pump();
        if (most > 0 && claimed->size() == most)
            QTimer::singleShot(0, this, &CallbackRunner::poll);
    }

    // An event settled without a request (its secret unreadable, its host refused) comes
    // back here from inside the loop: that call only asks for another round.
    void pump()
    {
        if (m_pumping) {
            m_pumpAgain = true;
            return;
        }
        m_pumping = true;
        do {
            m_pumpAgain = false;
            const QStringList urls = m_queues.keys();
            for (const QString &url : urls) {
                while (m_queues.contains(url) && !m_queues[url].isEmpty()
                       && m_inFlight.value(url) < m_options.perUrl) {
                    ++m_inFlight[url];
                    send(m_queues[url].dequeue());
                }
                if (m_queues.contains(url) && m_queues[url].isEmpty())
                    m_queues.remove(url);
            }
        } while (m_pumpAgain);
        m_pumping = false;
    }

    void done(const Outbox::Event &event)
    {
        --m_held;
        if (--m_inFlight[event.url] <= 0)
            m_inFlight.remove(event.url);
        pump();
    }

    // What became of an event is written with the others settled within SettleMs, in
    // the transaction that claims the next ones: a commit (a flush to the disk) a round,
    // not two an event. Until then the event stays claimed by this process; one that
    // dies meanwhile sends it again once the lease runs out, as it would a request it
    // never finished.
    void settle(const Outbox::Event &event, const QString &error)
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        QString result;
        if (error.isEmpty()) {
            m_settled.append({ event.id, true, {}, {} });
            result = u"delivered"_s;
        } else {
            std::uniform_real_distribution<double> jitter(0.0, 1.0);
            const qint64 retryAt = now
                + CallbackDispatcher::retryDelayMs(m_options.retryFirstMs, event.attempts + 1,
                                                   jitter(m_random));
            const bool dead = retryAt - event.at > CallbackDispatcher::GiveUpMs;
            m_settled.append(
                { event.id, false, error, dead ? std::nullopt : std::optional<qint64>(retryAt) });
            result = dead ? u"dead"_s : u"retry"_s;
        }
        if (m_settled.size() == 1)
            QTimer::singleShot(SettleMs, this, &CallbackRunner::flush);
        if (m_options.observer)
            m_options.observer->callbackAttempt(event.type, result, now - event.at);
        done(event);
    }

    // The round settled makes room: the next events (a later state of the same message
    // among them) are claimed with it rather than at the next poll.
    void flush()
    {
        if (m_settled.isEmpty() || !m_outbox)
            return;
        const QList<Outbox::Settled> settled = std::exchange(m_settled, {});
        if (m_stopping)
            (void)m_outbox->claim(0, 0, settled);
        else
            claim(settled);
    }

    std::optional<QByteArray> body(const Outbox::Event &event)
    {
        QJsonObject data;
        if (event.type == u"arrival"_s) {
            const Result<std::optional<Outbox::Arrival>> arrival = m_outbox->arrival(event.subject);
            if (arrival.failed() || !*arrival)
                return std::nullopt;
            data = arrivalData(**arrival);
        } else {
            // The message as GET /v1/messages/{id} answers it, at the state it reached
            // (its parts as they are now).
            const Result<std::optional<MessageView>> message
                = MessageView::read(m_gateway->store(), event.accountId, event.subject);
            if (message.failed() || !*message)
                return std::nullopt;
            data = (*message)->toJson();
            // A message that has moved on since reached this state when the event was
            // written.
            if ((*message)->state != event.state)
                data.insert(u"doneAt"_s, Store::timeText(event.at));
            data.insert(u"state"_s, event.state);
        }
        const QJsonObject whole { { u"id"_s, QString::number(event.id) },
                                  { u"type"_s, event.type },
                                  { u"time"_s, Store::timeText(event.at) },
                                  { u"data"_s, data } };
        return QJsonDocument(whole).toJson(QJsonDocument::Compact);
    }

    void send(const Outbox::Event &event)
    {
        const std::optional<QString> secret = m_options.seal.open(event.sealedSecret);
        if (!secret)
            return settle(event, ServiceTexts::callbackSecretUnreadable());
        const std::optional<QByteArray> json = body(event);
        if (!json)
            return settle(event, ServiceTexts::callbackSubjectMissing());
        const QUrl url(event.url);
        // Resolved for this request, and the request made to the address judged: a name
        // that resolves elsewhere between two lookups cannot slip past.
        QHostInfo::lookupHost(
            url.host(), this, [this, event, url, secret, json](const QHostInfo &info) {
                if (m_stopping)
                    return;
                QString why;
                const std::optional<QHostAddress> address
                    = m_options.policy.allowedAddress(url.host(), info.addresses(), why);
                if (!address)
                    return settle(event, why);
                post(event, url, *address, *secret, *json);
            });
    }

    void post(const Outbox::Event &event, const QUrl &url, const QHostAddress &address,
              const QString &secret, const QByteArray &json)
    {
        QUrl target = url;
        target.setHost(address.toString());
        QNetworkRequest request(target);
        const int port = url.port(url.scheme() == u"https"_s ? 443 : 80);
        const bool defaultPort = url.port() == -1;
        request.setRawHeader("Host",
                             (defaultPort
                                  ? url.host(QUrl::FullyEncoded)
                                  : url.host(QUrl::FullyEncoded) + u':' + QString::number(port))
                                 .toUtf8());
        request.setPeerVerifyName(url.host());
        request.setSslConfiguration(m_tls);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                             QNetworkRequest::ManualRedirectPolicy);
        request.setHeader(QNetworkRequest::ContentTypeHeader, u"application/json"_s);
        request.setRawHeader(
            CallbackSecrets::SignatureHeader,
            CallbackSecrets::signature(secret, QDateTime::currentSecsSinceEpoch(), json));
        QNetworkReply *reply = m_network->post(request, json);
        auto *timer = new QTimer(reply);
        timer->setSingleShot(true);
        auto timedOut = std::make_shared<bool>(false);
        connect(timer, &QTimer::timeout, reply, [reply, timedOut] {
            *timedOut = true;
            reply->abort();
        });
        timer->start(m_options.timeoutMs);
        auto read = std::make_shared<qint64>(0);
        connect(reply, &QNetworkReply::readyRead, reply, [reply, read] {
            *read += reply->skip(reply->bytesAvailable());
            if (*read > CallbackDispatcher::AnswerBytes)
                reply->abort(); // the status is all it is read for
        });
        connect(reply, &QNetworkReply::finished, this, [this, reply, event, timedOut] {
            reply->deleteLater();
            if (m_stopping)
                return;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (*timedOut)
                return settle(event, ServiceTexts::callbackTimedOut(m_options.timeoutMs));
            if (status >= 200 && status < 300)
                return settle(event, {});
            if (status != 0)
                return settle(event, ServiceTexts::callbackAnswered(status));
            settle(event, reply->errorString());
        });
    }

    const CallbackDispatcher::Options &m_options;
    std::mt19937 m_random;
    std::unique_ptr<LocalGateway> m_gateway;
    std::unique_ptr<Outbox> m_outbox;
    QNetworkAccessManager *m_network = nullptr;
    QSslConfiguration m_tls;
    QTimer *m_timer = nullptr;
    // The whole outbox is counted for the metrics this often at most.
    static constexpr qint64 CountEveryMs = 5'000;
    QElapsedTimer m_counted;
    static constexpr int SettleMs = 5;
    QList<Outbox::Settled> m_settled;
    QHash<QString, QQueue<Outbox::Event>> m_queues;
    QHash<QString, int> m_inFlight;
    int m_held = 0;
    bool m_stopping = false;
    bool m_pumping = false;
    bool m_pumpAgain = false;
};

CallbackDispatcher::CallbackDispatcher(Options options)
    : m_options(std::move(options))
{
}

CallbackDispatcher::~CallbackDispatcher() = default;

Status CallbackDispatcher::start()
{
    return m_thread.start(new CallbackRunner(m_options),
                          [](CallbackRunner &runner) { return runner.open(); });
}

void CallbackDispatcher::stop()
{
    m_thread.stop();
}

void CallbackDispatcher::wake()
{
    if (m_wakeWaiting.exchange(true))
        return;
    m_thread.post([this](CallbackRunner &runner) {
        m_wakeWaiting = false;
        runner.poll();
    });
}
