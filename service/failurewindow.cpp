#include "service/failurewindow.h"

FailureWindow::FailureWindow(int limit, int windowMs)
    : m_limit(limit)
    , m_windowMs(windowMs)
{
    m_clock.start();
}

qint64 FailureWindow::leftLocked(const QString &key, qint64 now)
{
    const auto it = m_windows.find(key);
    if (it == m_windows.end())
        return 0;
    const qint64 left = it->startMs + m_windowMs - now;
    if (left <= 0) {
        m_windows.erase(it);
        return 0;
    }
    return it->count >= m_limit ? left : 0;
}

qint64 FailureWindow::retryAfterMs(const QString &key)
{
    std::lock_guard lock(m_mutex);
    return leftLocked(key, m_clock.elapsed());
}

void FailureWindow::count(const QString &key)
{
    std::lock_guard lock(m_mutex);
    const qint64 now = m_clock.elapsed();
    (void)leftLocked(key, now); // a closed window starts again
    if (m_windows.size() >= MaxTracked && !m_windows.contains(key)) {
        m_windows.removeIf(
            [&](const auto &entry) { return now - entry.value().startMs >= m_windowMs; });
    }
    Window &window = m_windows[key];
    if (window.count == 0)
        window.startMs = now;
    ++window.count;
}

void FailureWindow::setLimit(int limit, int windowMs)
{
    std::lock_guard lock(m_mutex);
    m_limit = limit;
    m_windowMs = windowMs;
}
