#include "udpratelimiter.h"

#include <algorithm>
#include <limits>

namespace {

// A flood of new senders may not make every datagram walk the whole table.
constexpr qint64 kPruneIntervalMs = 1000;

} // namespace

UdpRateLimiter::UdpRateLimiter(double ratePerSecond, int burst, int maxSources)
    : m_Rate(ratePerSecond)
    , m_Burst(std::max(1, burst))
    , m_MaxSources(std::max(1, maxSources))
    , m_LastPruneMs(std::numeric_limits<qint64>::min() / 2)
{
}

int UdpRateLimiter::sourceCount() const
{
    return m_Buckets.size();
}

void UdpRateLimiter::refill(Bucket* bucket, qint64 nowMs) const
{
    const qint64 elapsed = std::max<qint64>(0, nowMs - bucket->lastMs);
    bucket->tokens = std::min(m_Burst, bucket->tokens + double(elapsed) * m_Rate / 1000.0);
    bucket->lastMs = nowMs;
}

void UdpRateLimiter::dropFullBuckets(qint64 nowMs)
{
    m_LastPruneMs = nowMs;
    for (auto it = m_Buckets.begin(); it != m_Buckets.end();) {
        refill(&it.value(), nowMs);
        if (it.value().tokens >= m_Burst)
            it = m_Buckets.erase(it);
        else
            ++it;
    }
}

UdpRateLimiter::Verdict UdpRateLimiter::take(const QHostAddress& source, qint64 nowMs)
{
    auto it = m_Buckets.find(source);
    if (it == m_Buckets.end()) {
        if (m_Buckets.size() >= m_MaxSources && nowMs - m_LastPruneMs >= kPruneIntervalMs)
            dropFullBuckets(nowMs);
        if (m_Buckets.size() >= m_MaxSources)
            return RefusedAgain;
        Bucket fresh;
        fresh.tokens = m_Burst;
        fresh.lastMs = nowMs;
        it = m_Buckets.insert(source, fresh);
    }
    Bucket& bucket = it.value();
    refill(&bucket, nowMs);
    if (bucket.tokens >= 1.0) {
        bucket.tokens -= 1.0;
        bucket.refusing = false;
        return Allowed;
    }
    const Verdict verdict = bucket.refusing ? RefusedAgain : Refused;
    bucket.refusing = true;
    return verdict;
}
