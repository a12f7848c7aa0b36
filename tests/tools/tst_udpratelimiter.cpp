// The token buckets behind vxserver's UDP rate limit, driven by a clock the
// test sets: bursts, refill, senders kept apart, and the bounded table.

#include "udpratelimiter.h"

#include <QtTest>

namespace {

struct Step
{
    int sender; // 127.0.0.<sender>, as the limiter sees addresses only
    qint64 ms;
    UdpRateLimiter::Verdict expected;
};

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestUdpRateLimiter final : public QObject
{
    Q_OBJECT

private slots:
    void verdicts_data();
    void verdicts();
};

void TestUdpRateLimiter::verdicts_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("burst");
    QTest::addColumn<int>("maxSources");
    QTest::addColumn<QList<Step>>("steps");
    const auto A = UdpRateLimiter::Allowed;
    const auto R = UdpRateLimiter::Refused;
    const auto RR = UdpRateLimiter::RefusedAgain;
    QTest::newRow("burst, then one refusal logged, then refill")
        << 1.0 << 2 << 100
        << QList<Step>{{1, 0, A}, {1, 0, A}, {1, 0, R}, {1, 500, RR}, {1, 999, RR},
                       {1, 1000, A}, {1, 1000, R}, {1, 60000, A}, {1, 60000, A}, {1, 60000, R}};
    QTest::newRow("senders apart")
        << 1.0 << 1 << 100 << QList<Step>{{1, 0, A}, {1, 0, R}, {2, 0, A}, {2, 1, R}, {3, 1, A}};
    QTest::newRow("full table refuses new senders until buckets refill")
        << 1.0 << 2 << 2
        << QList<Step>{{1, 0, A}, {2, 0, A}, {3, 0, RR}, {3, 500, RR}, {3, 1000, A}, {1, 1000, A}};
    QTest::newRow("fractional rate")
        << 0.5 << 1 << 100 << QList<Step>{{1, 0, A}, {1, 1000, R}, {1, 2000, A}};
}

void TestUdpRateLimiter::verdicts()
{
    QFETCH(double, rate);
    QFETCH(int, burst);
    QFETCH(int, maxSources);
    QFETCH(QList<Step>, steps);
    UdpRateLimiter limiter(rate, burst, maxSources);
    for (int i = 0; i < steps.size(); ++i) {
        const Step& step = steps.at(i);
        const QHostAddress sender(QStringLiteral("127.0.0.%1").arg(step.sender));
        QCOMPARE(int(limiter.take(sender, step.ms)), int(step.expected));
        QVERIFY(limiter.sourceCount() <= maxSources);
    }
}

QTEST_GUILESS_MAIN(TestUdpRateLimiter)
#include "tst_udpratelimiter.moc"
