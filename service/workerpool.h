#pragma once

// A fixed set of threads that run the gateway's rules. Each thread opens its own
// LocalGateway and ServiceStore on the shared store (database connections belong to
// the thread that opened them) and keeps nothing else between jobs.
//
//   GatewayService (event loop) ── post(job, lane) ──> queue ──> worker thread: job(worker)
//                                                                └─ answers by posting back
//
// Jobs of the slow lane (those that hash a password: a fraction of a second of CPU and
// 64 MiB each) hold at most `slowSlots` threads at once; the other threads always take
// the quick jobs, so that reads never queue behind a crowd of sign-ons.

#include "gateway/local/passwordhasher.h"
#include "gateway/local/storelocation.h"
#include "gateway/status.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
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
    enum class Lane { Quick, Slow };

    // `slowSlots` from 1 to `threads`.
    // Each thread's gateway is opened with `gateway`'s options.
    WorkerPool(StoreLocation store, int threads, int slowSlots,
               PasswordHasher::Cost hashCost = PasswordHasher::interactive(),
               std::function<QString(const QString &)> route = {},
               std::function<void()> queued = {});
    // Runs the jobs already queued, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void post(Job job, Lane lane = Lane::Quick);

private:
    struct Queued {
        Job job;
        quint64 order = 0;
    };
    void run();
    // The oldest job this thread may take now, if any; under the mutex.
    std::optional<std::pair<Job, Lane>> take();

    StoreLocation m_store;
    PasswordHasher::Cost m_hashCost;
    std::function<QString(const QString &)> m_route;
    std::function<void()> m_queued;
    const int m_slowSlots;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Queued> m_quick;
    std::deque<Queued> m_slow;
    quint64 m_posted = 0;
    int m_slowRunning = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};
