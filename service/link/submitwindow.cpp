#include "service/link/submitwindow.h"

SubmitWindow::SubmitWindow(int window, int ratePerSecond, Clock clock)
    : m_window(window)
    , m_rate(ratePerSecond)
    , m_clock(std::move(clock))
    , m_tokensAt(m_clock())
    , m_pausedUntil(m_tokensAt)
{
}

std::optional<qint64> SubmitWindow::wait(int unanswered)
{
    const qint64 at = m_clock();
    if (at < m_pausedUntil)
        return m_pausedUntil - at;
    const double most = std::max(1.0, m_rate / 10.0);
    m_tokens = std::min(most, m_tokens + double(at - m_tokensAt) * m_rate / 1000.0);
    m_tokensAt = at;
    if (unanswered >= m_window)
        return std::nullopt;
    if (m_tokens < 1.0)
        return qint64((1.0 - m_tokens) * 1000.0 / m_rate) + 1;
    return 0;
}

void SubmitWindow::take()
{
    m_tokens -= 1.0;
}

void SubmitWindow::throttled()
{
    m_pausedUntil = m_clock() + ThrottlePauseMs;
}
