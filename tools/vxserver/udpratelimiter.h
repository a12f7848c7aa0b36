#pragma once
// The per-source limit of UDP answers, so that the server cannot be used to
// flood an address that a forged request names as its sender: one token
// bucket per sender address (the port is ignored). A bucket holds at most
// `burst` tokens and gains `ratePerSecond` tokens a second; each answer
// takes one, and a request that finds no token gets no answer.
//
// The table is bounded by `maxSources`: a full bucket is the same as none,
// so full buckets are dropped when the table is full (at most once a second,
// so that a flood of new senders costs no more than that). Senders that find
// the table full of active ones are refused until room is made.
//
// Time comes from the caller (a monotonic clock in milliseconds), which keeps
// the limiter free of timers and testable without waiting.

#include <QHash>
#include <QHostAddress>

class UdpRateLimiter final
{
public:
    enum Verdict {
        Allowed,
        Refused,     // the first refusal since this sender was last answered
        RefusedAgain // refused while already being refused
    };

    UdpRateLimiter(double ratePerSecond, int burst, int maxSources = 65536);

    Verdict take(const QHostAddress& source, qint64 nowMs);
    int sourceCount() const;

private:
    struct Bucket
    {
        double tokens = 0;
        qint64 lastMs = 0;
        bool refusing = false;
    };

    void refill(Bucket* bucket, qint64 nowMs) const;
    void dropFullBuckets(qint64 nowMs);

    double m_Rate;
    double m_Burst;
    int m_MaxSources;
    qint64 m_LastPruneMs;
    QHash<QHostAddress, Bucket> m_Buckets;
};
