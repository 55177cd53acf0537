#include "service/link/linkservice.h"

#include "gateway/local/linkqueue.h"
#include "gateway/local/localgateway.h"
#include "service/link/linktexts.h"
#include "service/link/smsclink.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QTimer>

using namespace Qt::StringLiterals;

class LinkRunner : public QObject {
public:
    LinkRunner(const LinkConfig &config, const LinkService::Log &log, LinkObserver &observer)
        : m_config(config)
        , m_log(log)
        , m_observer(observer)
    {
    }

    Status open(const StoreLocation &store, PasswordHasher::Cost hashCost)
    {
        LocalGateway::Options options;
        options.hashCost = hashCost;
        // An arrival's forwarded copy and automatic reply go out by their links too.
        options.route = [this](const QString &phone) { return m_config.route(phone); };
        options.queued = [this] { wake(); };
        QUILLET_TRY(LocalGateway::open(store, m_gateway, options));
        const QString process
            = u"%1:%2"_s.arg(QSysInfo::machineHostName()).arg(QCoreApplication::applicationPid());
        m_queue = std::make_unique<LinkQueue>(*m_gateway, process);
        for (const LinkSettings &settings : m_config.links) {
            auto *link = new SmscLink(settings, *m_queue, m_log, m_observer, this);
            m_links.append(link);
            link->start();
        }
        m_failover.setInterval(FailoverCheckMs);
        connect(&m_failover, &QTimer::timeout, this, &LinkRunner::failOver);
        m_failover.start();
        return Status::ok();
    }

    // A link takes the messages of each link that names it its fallback while that one
    // has been down (or throttled through) for longer than its fallback_after_s, and
    // gives them back (those it has not taken yet) once it binds again or its SMSC takes
    // a message.
    void failOver()
    {
        for (qsizetype f = 0; f < m_links.size(); ++f) {
            QStringList down;
            for (qsizetype x = 0; x < m_links.size(); ++x) {
                const LinkSettings &settings = m_config.links.at(x);
                if (settings.fallback == m_config.links.at(f).name
                    && m_links.at(x)->downLongerThan(settings.fallbackAfterMs))
                    down.append(settings.name);
            }
            m_links.at(f)->standIn(down);
        }
    }

    void wake()
    {
        for (SmscLink *link : std::as_const(m_links))
            link->wake();
    }

    void stop()
    {
        m_failover.stop();
        for (SmscLink *link : std::as_const(m_links))
            link->stop();
        if (m_queue)
            (void)m_queue->forgetStates();
        qDeleteAll(m_links);
        m_links.clear();
        m_queue.reset();
        m_gateway.reset();
    }

private:
    const LinkConfig &m_config;
    const LinkService::Log &m_log;
    LinkObserver &m_observer;
    std::unique_ptr<LocalGateway> m_gateway;
    std::unique_ptr<LinkQueue> m_queue;
    QList<SmscLink *> m_links;
    QTimer m_failover { this }; // a child, to move to the links' thread with it
    static constexpr int FailoverCheckMs = 250;
};

LinkService::LinkService(LinkConfig config, StoreLocation store, PasswordHasher::Cost hashCost,
                         Log log, LinkObserver *observer)
    : m_config(std::move(config))
    , m_store(std::move(store))
    , m_hashCost(hashCost)
    , m_log(std::move(log))
    , m_observer(observer)
{
}

LinkService::~LinkService() = default;

Status LinkService::start()
{
    static LinkObserver nobody;
    return m_thread.start(new LinkRunner(m_config, m_log, m_observer ? *m_observer : nobody),
                          [this](LinkRunner &runner) { return runner.open(m_store, m_hashCost); });
}

void LinkService::stop()
{
    m_thread.stop();
}

void LinkService::wake()
{
    m_thread.post([](LinkRunner &runner) { runner.wake(); });
}
