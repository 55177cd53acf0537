#include "service/workerpool.h"

#include "gateway/local/localgateway.h"
#include "gateway/local/store.h"
#include "service/servicestore.h"

#include <QJsonArray>

#include <algorithm>
#include <chrono>
#include <climits>
#include <utility>

WorkerPool::WorkerPool(Options options)
    : m_options(std::move(options))
    , m_slowSlots(qBound(1, m_options.slowSlots, qMax(1, m_options.threads)))
    // SQLite has one writer at a time; PostgreSQL takes a batch on every other thread,
    // leaving the rest to check what the next batches will hold.
    , m_batchesAtOnce(m_options.store.isFile() ? 1 : qMax(1, m_options.threads / 2))
{
    std::promise<bool> started;
    m_checkpointer = std::thread([this, &started] { checkpoints(started); });
    m_checkpointsOwn = started.get_future().get();
    for (int i = 0; i < qMax(1, m_options.threads); ++i)
        m_threads.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_handedIn.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
    {
        std::lock_guard lock(m_mutex);
        m_checkpointerStopping = true;
    }
    m_checkpointDue.notify_all();
    m_checkpointer.join();
}

// Copies the log into the store after every CheckpointEvery commits, and a quarter of a
// second after the last ones; ends at once on an engine without checkpoints.
void WorkerPool::checkpoints(std::promise<bool> &started)
{
    std::unique_ptr<Store> store;
    const bool own = Store::open(m_options.store, store).isOk() && store->hasCheckpoints();
    started.set_value(own);
    if (!own)
        return;
    std::unique_lock lock(m_mutex);
    while (!m_checkpointerStopping) {
        m_checkpointDue.wait_for(lock, std::chrono::milliseconds(250), [&] {
            return m_checkpointerStopping || m_commitsUnchecked >= CheckpointEvery;
        });
        if (m_commitsUnchecked == 0)
            continue;
        m_commitsUnchecked = 0;
        lock.unlock();
        (void)store->checkpoint();
        lock.lock();
    }
}

void WorkerPool::post(Job job, Lane lane)
{
    {
        std::lock_guard lock(m_mutex);
        (lane == Lane::Slow ? m_slow : m_quick)
            .push_back(Queued { std::move(job), ++m_posted, lane == Lane::Write });
    }
    // Any idle thread can take it, or none can (a slow job while the slots are taken):
    // whoever ends a job looks again before it waits.
    m_wake.notify_one();
}

void WorkerPool::commit(Worker &worker, Write write)
{
    if (m_options.batchMost <= 1) {
        std::vector<Write> alone;
        alone.push_back(std::move(write));
        commitBatch(worker, alone);
        return;
    }
    bool another = false;
    {
        std::lock_guard lock(m_mutex);
        m_writes.push_back(std::move(write));
        another = m_batchesRunning < m_batchesAtOnce;
    }
    m_handedIn.notify_one();
    // A running batch's thread takes the write when it is done.
    if (another)
        m_wake.notify_one();
}

std::optional<WorkerPool::Taken> WorkerPool::take()
{
    const bool slowAllowed = !m_slow.empty() && m_slowRunning < m_slowSlots;
    if (m_quick.empty() && !slowAllowed)
        return std::nullopt;
    if (slowAllowed && (m_quick.empty() || m_slow.front().order < m_quick.front().order)) {
        Job job = std::move(m_slow.front().job);
        m_slow.pop_front();
        ++m_slowRunning;
        return Taken { std::move(job), Lane::Slow };
    }
    Queued queued = std::move(m_quick.front());
    m_quick.pop_front();
    return Taken { std::move(queued.job), queued.writes ? Lane::Write : Lane::Quick };
}

std::vector<WorkerPool::Write> WorkerPool::gather(std::unique_lock<std::mutex> &lock)
{
    const bool rowLocks = !m_options.store.isFile();
    // On PostgreSQL each write's savepoints are subtransactions; past 64 in one
    // transaction, every other session has to look them up on disk to see its rows.
    constexpr int MostWithRowLocks = 32;
    const auto most = size_t(qBound(1, m_options.batchMost, rowLocks ? MostWithRowLocks : INT_MAX));
    std::vector<Write> batch;
    bool closed = false;
    const auto takeWaiting = [&] {
        for (auto it = m_writes.begin(); it != m_writes.end() && !closed && batch.size() < most;) {
            if (rowLocks && it->account.isEmpty()) {
                // Holds rows nobody can order beforehand: it commits on its own.
                if (batch.empty()) {
                    batch.push_back(std::move(*it));
                    m_writes.erase(it);
                    closed = true;
                    return;
                }
                ++it;
                continue;
            }
            batch.push_back(std::move(*it));
            it = m_writes.erase(it);
        }
    };
    takeWaiting();
    const auto deadline
        = std::chrono::steady_clock::now() + std::chrono::microseconds(m_options.batchWaitUs);
    while (!closed && batch.size() < most && m_checking > 0 && !m_stopping) {
        const bool late = m_handedIn.wait_until(lock, deadline) == std::cv_status::timeout;
        takeWaiting();
        if (late)
            break;
    }
    if (rowLocks) {
        std::ranges::stable_sort(batch, {}, &Write::account);
    }
    return batch;
}

void WorkerPool::commitBatch(Worker &worker, std::vector<Write> &batch)
{
    if (!worker.service) {
        for (Write &write : batch)
            write.done(worker.failure);
        return;
    }
    bool checkpointDue = false;
    {
        std::lock_guard lock(m_mutex);
        checkpointDue = ++m_commitsUnchecked == CheckpointEvery;
    }
    if (checkpointDue)
        m_checkpointDue.notify_one();
    const auto report = [&](int writes) {
        if (writes > 0 && m_options.committed)
            m_options.committed(writes);
    };
    if (batch.size() == 1) {
        // Alone, the write is its own transaction, as if there were no batches.
        const bool wrote = batch.front().run(worker);
        worker.gateway->notifyQueued();
        report(wrote ? 1 : 0);
        batch.front().done(Status::ok());
        return;
    }
    // Whether each write ran, and whether its work went in.
    enum class Fate : char { NotRun, Out, In };
    std::vector<Fate> fates(batch.size(), Fate::NotRun);
    const auto attempt = [&](bool bare) {
        worker.bareFailed = false;
        JointSends joint;
        joint.settled = [&](size_t write, bool in) { fates[write] = in ? Fate::In : Fate::Out; };
        worker.joint = bare ? &joint : nullptr;
        std::ranges::fill(fates, Fate::NotRun);
        return worker.service->store().transaction([&]() -> Result<Store::Decision> {
            for (size_t i = 0; i < batch.size(); ++i) {
                if (bare && !batch[i].joins)
                    joint.flush(worker);
                // The transaction is lost with the statement: all of it runs again.
                if (worker.bareFailed)
                    return Store::Decision::RollBack;
                joint.write = i;
                fates[i] = batch[i].run(worker) ? Fate::In : Fate::Out;
                if (worker.bareFailed)
                    return Store::Decision::RollBack;
            }
            joint.flush(worker);
            return worker.bareFailed ? Store::Decision::RollBack : Store::Decision::Commit;
        });
    };
    Result<Store::Decision> decided = attempt(true);
    if (worker.bareFailed)
        decided = attempt(false);
    worker.joint = nullptr;
    // The links hear of new messages once they can see them.
    worker.gateway->notifyQueued();
    report(decided.failed() ? 0 : int(std::ranges::count(fates, Fate::In)));
    // A write whose work stayed out of a failed commit keeps its own outcome.
    for (size_t i = 0; i < batch.size(); ++i)
        batch[i].done(fates[i] == Fate::Out ? Status::ok() : decided.status());
}

void WorkerPool::run()
{
    std::unique_ptr<LocalGateway> gateway;
    std::unique_ptr<ServiceStore> service;
    Worker worker;
    // One connection per thread: the service's records share the gateway's store, so
    // an answer and the change it reports commit together.
    worker.failure = LocalGateway::open(m_options.store, gateway, m_options.gateway);
    if (worker.failure.isOk() && m_checkpointsOwn)
        worker.failure = gateway->store().leaveCheckpoints();
    if (worker.failure.isOk())
        worker.failure = ServiceStore::attach(gateway->store(), service);
    if (worker.failure.isOk()) {
        worker.gateway = gateway.get();
        worker.service = service.get();
    }
    for (;;) {
        std::optional<Taken> next;
        std::vector<Write> batch;
        {
            std::unique_lock lock(m_mutex);
            const auto batchMayStart
                = [&] { return !m_writes.empty() && m_batchesRunning < m_batchesAtOnce; };
            // Stopping, the queued jobs and writes still run; a slow job waits for a slot
            // as ever.
            m_wake.wait(lock, [&] {
                if (batchMayStart())
                    return true;
                next = take();
                return next
                    || (m_stopping && m_quick.empty() && m_slow.empty() && m_writes.empty()
                        && m_checking == 0);
            });
            if (!next && batchMayStart()) {
                ++m_batchesRunning;
                batch = gather(lock);
            } else if (!next) {
                return;
            } else if (next->lane == Lane::Write) {
                ++m_checking;
            }
        }
        if (!batch.empty())
            commitBatch(worker, batch);
        else
            next->job(worker);
        // The thread looks for more work before it waits again; only threads waiting to
        // stop must hear that this work is over.
        bool stopping = false;
        {
            std::lock_guard lock(m_mutex);
            stopping = m_stopping;
            if (!batch.empty())
                --m_batchesRunning;
            else if (next->lane == Lane::Slow)
                --m_slowRunning;
            else if (next->lane == Lane::Write)
                --m_checking;
        }
        if (next && next->lane == Lane::Write)
            m_handedIn.notify_one();
        if (next && next->lane == Lane::Slow && !stopping)
            m_wake.notify_one(); // a slot is free for a slow job that waits
        if (stopping)
            m_wake.notify_all();
    }
}

void JointSends::join(Worker &worker, const QString &account, QJsonObject send, Settle settle)
{
    if (std::ranges::any_of(m_parts, [&](const Part &part) { return part.account == account; }))
        flush(worker);
    m_parts.push_back(Part { write, account, std::move(send), std::move(settle) });
}

void JointSends::flush(Worker &worker)
{
    if (m_parts.empty())
        return;
    const std::vector<Part> parts = std::exchange(m_parts, {});
    QJsonArray sends;
    for (const Part &part : parts)
        sends.append(part.send);
    const Result<std::vector<LocalGateway::RiddenSend>> ridden
        = worker.gateway->sendsRiding(sends, ServiceStore::rememberingSends());
    if (ridden.failed()) {
        worker.bareFailed = true;
        return;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool in = parts[i].settle(worker, ridden->at(i));
        if (settled)
            settled(parts[i].write, in);
    }
}
