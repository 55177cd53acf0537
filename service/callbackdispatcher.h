#pragma once

// The sending side of the outbox, one in each service process, on a thread of its own
// with a store connection of its own:
//
//   timer / wake() ── Outbox::claim (leases) ── per-URL queues ── at most perUrl in flight
//   each event ── JSON {id, type, time, data} ── signed (Quillet-Signature) ── the host
//     resolved now and judged by CallbackUrlPolicy ── POST to that address ── 2xx within
//     the timeout: delivered; anything else: again after 1 s doubling to 10 min (with
//     jitter), until a day after the change, then dead
//
// An event is settled only by the process whose claim holds it; one that dies mid-flight
// leaves its events to whoever claims them when the leases run out, so an application
// may get an event twice (same id), and never loses one. Redirects are not followed, and
// of an answer no more than AnswerBytes is read.

#include "gateway/local/passwordhasher.h"
#include "gateway/local/storelocation.h"
#include "gateway/status.h"
#include "service/callbackobserver.h"
#include "service/callbacksecrets.h"
#include "service/callbackurl.h"
#include "service/link/ownthread.h"

#include <atomic>
#include <functional>
#include <random>

class CallbackRunner;

class CallbackDispatcher {
public:
    struct Options {
        StoreLocation store;
        PasswordHasher::Cost hashCost = PasswordHasher::interactive();
        SecretSeal seal;
        CallbackUrlPolicy policy;
        QString caFile; // none: the system's CAs
        int perUrl = 8;
        int timeoutMs = 10'000;
        qint64 leaseMs = 120'000;
        int pollMs = 250;
        qint64 retryFirstMs = 1'000;
        CallbackObserver *observer = nullptr;
    };
    // How long after `attempts` failures an event is tried again: `firstMs` doubling to
    // RetryMostMs, and up to a quarter more by `jitter` (0 to 1).
    static constexpr qint64 RetryMostMs = 600'000;
    static constexpr qint64 GiveUpMs = 24 * 3'600'000LL;
    static constexpr qint64 AnswerBytes = 64 * 1024;
    static qint64 retryDelayMs(qint64 firstMs, int attempts, double jitter);

    explicit CallbackDispatcher(Options options);
    ~CallbackDispatcher();
    CallbackDispatcher(const CallbackDispatcher &) = delete;
    CallbackDispatcher &operator=(const CallbackDispatcher &) = delete;

    Status start();
    // Events in flight are left to their leases.
    void stop();
    // Safe from any thread: events may be due now. Wakes made while one waits to run are
    // taken by it: a burst of changes makes one claim, not one each.
    void wake();

private:
    Options m_options;
    std::atomic<bool> m_wakeWaiting = false;
    OwnThread<CallbackRunner> m_thread { QStringLiteral("callbacks") };
};
