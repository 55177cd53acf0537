#include "workerpool.h"

#include "localgateway.h"
#include "servicestore.h"

WorkerPool::WorkerPool(StoreLocation store, int threads)
    : m_store(std::move(store))
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

void WorkerPool::post(Job job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void WorkerPool::run()
{
    std::unique_ptr<LocalGateway> gateway;
    std::unique_ptr<ServiceStore> service;
    Worker worker;
    // One connection per thread: the service's records share the gateway's store, so
    // an answer and the change it reports commit together.
    worker.failure = LocalGateway::open(m_store, gateway);
    if (worker.failure.isOk())
        worker.failure = ServiceStore::attach(gateway->store(), m_store.engine, service);
    if (worker.failure.isOk()) {
        worker.gateway = gateway.get();
        worker.service = service.get();
    }
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(worker);
    }
}
