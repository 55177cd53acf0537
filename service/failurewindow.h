#pragma once

// Failures counted per key (a peer address, a token, a token and an account) in a window
// that opens with the key's first failure. Past the limit the key is refused until the
// window closes; its successes are never held back. Safe to use from any thread.
//
// Windows that have closed are dropped before a new key is counted, so many failing
// keys cannot grow the table without bound.

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <mutex>

class FailureWindow {
public:
    FailureWindow(int limit, int windowMs);

    // Milliseconds until `key` may try again; 0 when it may now.
    qint64 retryAfterMs(const QString &key);
    // Counts a failure of `key`.
    void count(const QString &key);
    // From now on; the windows open keep their counts and their start.
    void setLimit(int limit, int windowMs);

private:
    struct Window {
        int count = 0;
        qint64 startMs = 0;
    };
    qint64 leftLocked(const QString &key, qint64 now);

    static constexpr qsizetype MaxTracked = 4096;

    int m_limit;
    qint64 m_windowMs;
    std::mutex m_mutex;
    QHash<QString, Window> m_windows;
    QElapsedTimer m_clock;
};
