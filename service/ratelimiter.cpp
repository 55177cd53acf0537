#include "service/ratelimiter.h"

#include <cmath>

RateLimiter::RateLimiter(int perSecond)
    : m_rate(qMax(1, perSecond))
{
    m_clock.start();
}

void RateLimiter::setRate(int perSecond)
{
    const std::lock_guard lock(m_mutex);
    m_rate = qMax(1, perSecond);
}

qint64 RateLimiter::take(qint64 key)
{
    const std::lock_guard lock(m_mutex);
    const qint64 now = m_clock.elapsed();
    const auto filled = [&](const Bucket &bucket) {
        return qMin(m_rate, bucket.held + double(now - bucket.atMs) * m_rate / 1000.0);
    };
    if (!m_buckets.contains(key) && m_buckets.size() >= MaxTracked)
        m_buckets.removeIf([&](const auto &entry) { return filled(entry.value()) >= m_rate; });
    auto it = m_buckets.find(key);
    if (it == m_buckets.end())
        it = m_buckets.insert(key, Bucket { m_rate, now });
    it->held = filled(*it);
    it->atMs = now;
    if (it->held >= 1.0) {
        it->held -= 1.0;
        return 0;
    }
    return qint64(std::ceil((1.0 - it->held) * 1000.0 / m_rate));
}
