#include "service/workerpool.h"

#include "gateway/local/localgateway.h"
#include "service/servicestore.h"

WorkerPool::WorkerPool(StoreLocation store, int threads, int slowSlots,
                       PasswordHasher::Cost hashCost,
                       std::function<QString(const QString &)> route,
                       std::function<void()> queued)
    : m_store(std::move(store))
    , m_hashCost(hashCost)
    , m_route(std::move(route))
    , m_queued(std::move(queued))
    , m_slowSlots(qBound(1, slowSlots, qMax(1, threads)))
{
    for (int i = 0; i < qMax(1, threads); ++i)
        m_threads.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void WorkerPool::post(Job job, Lane lane)
{
    {
        std::lock_guard lock(m_mutex);
        (lane == Lane::Slow ? m_slow : m_quick).push_back(Queued { std::move(job), ++m_posted });
    }
    // Every thread looks: the one woken may be unable to take a slow job.
    m_wake.notify_all();
}

std::optional<std::pair<WorkerPool::Job, WorkerPool::Lane>> WorkerPool::take()
{
    const bool slowAllowed = !m_slow.empty() && m_slowRunning < m_slowSlots;
    if (m_quick.empty() && !slowAllowed)
        return std::nullopt;
    if (slowAllowed && (m_quick.empty() || m_slow.front().order < m_quick.front().order)) {
        Job job = std::move(m_slow.front().job);
        m_slow.pop_front();
        ++m_slowRunning;
        return std::pair { std::move(job), Lane::Slow };
    }
    Job job = std::move(m_quick.front().job);
    m_quick.pop_front();
    return std::pair { std::move(job), Lane::Quick };
}

void WorkerPool::run()
{
    std::unique_ptr<LocalGateway> gateway;
    std::unique_ptr<ServiceStore> service;
    Worker worker;
    // One connection per thread: the service's records share the gateway's store, so
    // an answer and the change it reports commit together.
    LocalGateway::Options options;
    options.hashCost = m_hashCost;
    options.route = m_route;
    options.queued = m_queued;
    worker.failure = LocalGateway::open(m_store, gateway, options);
    if (worker.failure.isOk())
        worker.failure = ServiceStore::attach(gateway->store(), service);
    if (worker.failure.isOk()) {
        worker.gateway = gateway.get();
        worker.service = service.get();
    }
    for (;;) {
        std::optional<std::pair<Job, Lane>> next;
        {
            std::unique_lock lock(m_mutex);
            // Stopping, the queued jobs still run; a slow one waits for a slot as ever.
            m_wake.wait(lock, [&] {
                next = take();
                return next || (m_stopping && m_quick.empty() && m_slow.empty());
            });
            if (!next)
                return;
        }
        next->first(worker);
        if (next->second == Lane::Slow) {
            {
                std::lock_guard lock(m_mutex);
                --m_slowRunning;
            }
            m_wake.notify_all();
        }
    }
}
