#pragma once

// Requests per second per key (an application's token), as a bucket that holds one
// second's worth and fills at the rate: a client may come in a burst of that size, then
// at the rate. Apart from the failure windows: this limits what valid tokens ask, where
// those limit what fails. Per process: n processes let a token make n times the rate.
// Safe to use from any thread.
//
// Buckets that have filled up again are dropped before a new key is counted, so many
// keys cannot grow the table without bound.

#include <QElapsedTimer>
#include <QHash>

#include <mutex>

class RateLimiter {
public:
    explicit RateLimiter(int perSecond);

    // Takes one request of `key`: 0 when it may go now, else the milliseconds until it may.
    qint64 take(qint64 key);
    // From now on; the buckets keep what they hold.
    void setRate(int perSecond);

private:
    struct Bucket {
        double held = 0;
        qint64 atMs = 0;
    };
    static constexpr qsizetype MaxTracked = 4096;

    double m_rate;
    std::mutex m_mutex;
    QHash<qint64, Bucket> m_buckets;
    QElapsedTimer m_clock;
};
