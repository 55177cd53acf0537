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
//
// Group commit. A job of the write lane checks its request outside any transaction, then
// hands the part that writes to commit(). What is handed in while a commit is under way
// waits for the next one: a worker takes every write waiting (up to `batchMost`), runs
// each in a savepoint of one transaction (the console's sends on PostgreSQL together in
// one statement instead, see JointSends), commits once, and only then calls each one's
// `done`. One flush serves the whole batch. A lone write starts at once; a batch that
// is not full waits up to `batchWaitUs` only while other threads are still checking
// writes that will join it.
//
// On PostgreSQL several batches run at once, each holding its accounts' rows until it
// commits. Every batched write holds at most the one account it names, and a batch takes
// them in the order of their numbers, so no two batches (of this process or another) can
// each wait for a row the other holds. A write whose account is not known before it runs
// has a batch to itself. On SQLite the store has one writer at a time: one batch runs,
// and a thread of its own copies the log into the store (Store::checkpoint) so that no
// commit waits for that copy and its flush.

#include "gateway/local/localgateway.h"
#include "gateway/local/storelocation.h"
#include "gateway/status.h"

#include <QJsonObject>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class ServiceStore;
struct Worker;

// The console's keyed sends of a batch's first try, made together in one statement
// (LocalGateway::sendsRiding) once the batch has run up to a write that does not join
// them, or to its end: one round trip for the lot. At most one send of an account joins
// at a time, since sends of one statement cannot see each other's charges; the batch's
// order of accounts stands, so the statement holds its accounts after those of the
// writes before it, and before those after.
class JointSends {
public:
    // Given the outcome of a send that joined; whether its work went in.
    using Settle = std::function<bool(Worker &, const LocalGateway::RiddenSend &)>;
    // The write of the batch that runs now, and what to do with a settled one's fate.
    size_t write = 0;
    std::function<void(size_t write, bool in)> settled;

    // Joins `send` (a row of LocalGateway::sendInput with the rider's columns) and makes
    // the sends joined before first where one of them is of `account`.
    void join(Worker &worker, const QString &account, QJsonObject send, Settle settle);
    // Makes the sends joined so far and settles each; on failure, sets
    // Worker::bareFailed, and nothing is settled.
    void flush(Worker &worker);

private:
    struct Part {
        size_t write = 0;
        QString account;
        QJsonObject send;
        Settle settle;
    };
    std::vector<Part> m_parts;
};

struct Worker {
    // Null when the store could not be opened; `failure` says why.
    LocalGateway *gateway = nullptr;
    ServiceStore *service = nullptr;
    Status failure;
    // In a batch's first try, where its sends join (without a savepoint of their own);
    // a failure of their statement sets `bareFailed`, and the batch runs again from the
    // start with every write in its savepoint.
    JointSends *joint = nullptr;
    bool bareFailed = false;
};

class WorkerPool {
public:
    using Job = std::function<void(Worker &)>;
    enum class Lane { Quick, Slow, Write };

    struct Options {
        StoreLocation store;
        int threads = 4;
        // From 1 to `threads`.
        int slowSlots = 2;
        // Each thread's gateway.
        LocalGateway::Options gateway;
        // Writes committed together at most; 1 commits each on its own.
        int batchMost = 64;
        int batchWaitUs = 2'000;
        // Told, on the committing thread, how many writes each commit made durable.
        std::function<void(int)> committed;
    };

    // One write of a batch.
    struct Write {
        // The account number the write holds; empty when that is not known beforehand.
        QString account;
        // Runs inside the batch's transaction (its own savepoint, see Store::transaction);
        // true when its work went into that transaction.
        std::function<bool(Worker &)> run;
        // After the batch: why its work, or the write itself, came to nothing (the batch
        // did not commit, or did not start), else Status::ok().
        std::function<void(const Status &)> done;
        // Whether `run` may join its send to others' (see JointSends): a write that does
        // not runs after the sends joined before it are made.
        bool joins = false;
    };

    explicit WorkerPool(Options options);
    // Runs the jobs already queued, then joins the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void post(Job job, Lane lane = Lane::Quick);
    // From a job of the write lane, on `worker`: `write` joins the next batch; with
    // batches of one it runs at once, on this thread.
    void commit(Worker &worker, Write write);

private:
    struct Queued {
        Job job;
        quint64 order = 0;
        bool writes = false;
    };
    struct Taken {
        Job job;
        Lane lane;
    };
    void run();
    // The oldest job this thread may take now, if any; under the mutex.
    std::optional<Taken> take();
    // The next batch, once it may run; under the mutex, which the wait releases.
    std::vector<Write> gather(std::unique_lock<std::mutex> &lock);
    void commitBatch(Worker &worker, std::vector<Write> &batch);
    void checkpoints(std::promise<bool> &started);

    Options m_options;
    const int m_slowSlots;
    const int m_batchesAtOnce;
    std::mutex m_mutex;
    // Idle threads wait here for a job or a batch to run; each new one wakes one of them.
    std::condition_variable m_wake;
    // A thread gathering a batch waits here for the writes being checked to be handed in.
    std::condition_variable m_handedIn;
    std::deque<Queued> m_quick;
    std::deque<Queued> m_slow;
    std::deque<Write> m_writes;
    quint64 m_posted = 0;
    int m_slowRunning = 0;
    // Write-lane jobs being checked now, whose writes have not been handed in yet.
    int m_checking = 0;
    int m_batchesRunning = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
    // Commits since the last checkpoint; the checkpoint thread looks at this many.
    static constexpr int CheckpointEvery = 32;
    int m_commitsUnchecked = 0;
    bool m_checkpointsOwn = false;
    bool m_checkpointerStopping = false;
    std::condition_variable m_checkpointDue;
    std::thread m_checkpointer;
};
