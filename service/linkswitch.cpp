#include "service/linkswitch.h"

LinkSwitch::LinkSwitch(StoreLocation store, PasswordHasher::Cost hashCost, LinkService::Log log,
                       LinkObserver *observer)
    : m_store(std::move(store))
    , m_hashCost(hashCost)
    , m_log(std::move(log))
    , m_observer(observer)
    , m_config(std::make_shared<const LinkConfig>())
{
}

LinkSwitch::~LinkSwitch()
{
    stop();
}

Status LinkSwitch::replace(const LinkConfig &config)
{
    // The workers route by the new links at once; their messages wait in the store until
    // those links are bound.
    std::unique_ptr<LinkService> running = take(std::make_shared<const LinkConfig>(config));
    if (running)
        running->stop();
    running.reset();
    if (config.links.isEmpty())
        return Status::ok();
    auto started = std::make_unique<LinkService>(config, m_store, m_hashCost, m_log, m_observer);
    QUILLET_TRY(started->start());
    std::unique_lock lock(m_mutex);
    m_service = std::move(started);
    return Status::ok();
}

void LinkSwitch::stop()
{
    if (std::unique_ptr<LinkService> running = take(nullptr))
        running->stop();
}

// Once the exclusive lock is held no wake() is inside the links taken, and none reaches
// them after: they may stop (which takes a while) without the lock.
std::unique_ptr<LinkService> LinkSwitch::take(std::shared_ptr<const LinkConfig> config)
{
    std::unique_lock lock(m_mutex);
    if (config)
        m_config = std::move(config);
    return std::exchange(m_service, nullptr);
}

QString LinkSwitch::route(const QString &phone) const
{
    std::shared_ptr<const LinkConfig> config;
    {
        std::shared_lock lock(m_mutex);
        config = m_config;
    }
    return config->route(phone);
}

void LinkSwitch::wake()
{
    std::shared_lock lock(m_mutex);
    if (m_service)
        m_service->wake();
}
