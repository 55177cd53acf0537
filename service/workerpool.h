#pragma once

// A fixed set of threads that run the gateway's rules. Each thread opens its own
// LocalGateway and ServiceStore on the shared store (database connections belong to
// the thread that opened them) and keeps nothing else between jobs.
//
//   GatewayService (event loop) ── post(job) ──> queue ──> worker thread: job(worker)
//                                                          └─ answers by posting back

#include "status.h"
#include "storelocation.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class LocalGateway;
class ServiceStore;

struct Worker {
    // Null when the store could not be opened; `failure` says why.
    LocalGateway *gateway = nullptr;
    ServiceStore *service = nullptr;
    Status failure;
};

class WorkerPool {
public:
    using Job = std::function<void(Worker &)>;

    WorkerPool(StoreLocation store, int threads);
    // Runs the jobs already queued, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void post(Job job);

private:
    void run();

    StoreLocation m_store;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};
