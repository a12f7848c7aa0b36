// The latest-version query against a real UDP server on 127.0.0.1, and the
// port overrides of the UDP queries.
#include "support/udpresponder.h"
#include "updateserveraddress.h"
#include "versionquery.h"

#include <QtTest>

using Reply = std::optional<QByteArray>;

namespace {

// The wait for a reply in these tests, instead of the real 5000 ms.
const int kShortTimeoutMs = 300;

} // namespace

class TestVersionQuery final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void splitsEntriesAndReadsNews();
    void ignoresBytesAfterZero();
    void cutsOversizedReplies();
    void failsWhenSecondRequestIsNotAnswered();
    void lateReplyFailsAfterTheTimeOut_data();
    void lateReplyFailsAfterTheTimeOut();
    void ignoresRepliesFromOtherSenders();
    void portOverrides_data();
    void portOverrides();
};

void TestVersionQuery::initTestCase()
{
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    pointUdpQueriesAtFreePorts();
}

void TestVersionQuery::splitsEntriesAndReadsNews()
{
    UdpResponder server(UdpService::Version, {Reply("100#1.0.0,101#1.0.1 b\xe9ta,,#,5#a#b,7"),
                                              Reply(QStringLiteral("<b>News</b> \u00fcber alles").toUtf8())});
    QVERIFY(server.isListening());

    VersionQuery query;
    QVERIFY(query.query());

    const QList<QByteArray> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0), QByteArray("3\0", 2));
    QCOMPARE(requests.at(1), QByteArray("*\0", 2));

    using Entry = QPair<QString, QString>;
    QCOMPARE(query.entryAt(0), Entry("100", "1.0.0"));
    QCOMPARE(query.entryAt(1), Entry("101", QStringLiteral("1.0.1 b\u00e9ta"))); // Latin-1
    QCOMPARE(query.entryAt(2), Entry("", ""));            // empty entries count
    QCOMPARE(query.entryAt(3), Entry("", ""));            // "#" alone
    QCOMPARE(query.entryAt(4), Entry("5", "a#b"));         // split at the first "#" only
    QCOMPARE(query.entryAt(5), Entry("7", ""));            // no label
    QCOMPARE(query.entryAt(6), Entry());
    QCOMPARE(query.entryAt(-1), Entry());
    QCOMPARE(query.newsText(), QStringLiteral("<b>News</b> \u00fcber alles"));
}

void TestVersionQuery::ignoresBytesAfterZero()
{
    UdpResponder server(UdpService::Version,
                        {Reply(QByteArray("100#x\0,200#y", 12)), Reply(QByteArray("abc\0def", 7))});
    QVERIFY(server.isListening());

    VersionQuery query;
    QVERIFY(query.query());
    QCOMPARE(query.entryAt(0), qMakePair(QStringLiteral("100"), QStringLiteral("x")));
    QCOMPARE(query.entryAt(1), qMakePair(QString(), QString()));
    QCOMPARE(query.newsText(), QStringLiteral("abc"));
}

void TestVersionQuery::cutsOversizedReplies()
{
    // The version list is read up to 511 bytes, the news up to 4095.
    const QByteArray versions = "1#" + QByteArray(600, 'v');
    const QByteArray news(5000, 'n');
    UdpResponder server(UdpService::Version, {Reply(versions), Reply(news)});
    QVERIFY(server.isListening());

    VersionQuery query;
    QVERIFY(query.query());
    QCOMPARE(query.entryAt(0).second.size(), 511 - 2);
    QCOMPARE(query.newsText().size(), 4095);
}

void TestVersionQuery::failsWhenSecondRequestIsNotAnswered()
{
    // The first attempt gets its version list but no news; the retry gets
    // other entries, and only those may be seen: no stale entries in front.
    UdpResponder server(UdpService::Version,
                        {Reply("10#old,11#old beta"), std::nullopt, Reply("20#new"), Reply("news")});
    QVERIFY(server.isListening());

    VersionQuery query;
    query.setReceiveTimeoutMs(kShortTimeoutMs);
    QVERIFY(!query.query());
    QVERIFY(query.query());
    QCOMPARE(query.entryAt(0), qMakePair(QStringLiteral("20"), QStringLiteral("new")));
    QCOMPARE(query.entryAt(1), qMakePair(QString(), QString()));
    QCOMPARE(query.newsText(), QStringLiteral("news"));
}

void TestVersionQuery::lateReplyFailsAfterTheTimeOut_data()
{
    QTest::addColumn<int>("late"); // the reply that comes too late
    QTest::newRow("version list") << 0;
    QTest::newRow("news") << 1;
}

void TestVersionQuery::lateReplyFailsAfterTheTimeOut()
{
    QFETCH(int, late);
    QCOMPARE(VersionQuery().receiveTimeoutMs(), 5000);
    UdpResponder server(UdpService::Version, {Reply("1#1.0"), Reply("news")});
    QVERIFY(server.isListening());
    // Too late for the shortened wait; a query without a time-out would
    // take it and succeed instead of hanging.
    server.delayReply(size_t(late), 10 * kShortTimeoutMs);

    VersionQuery query;
    query.setReceiveTimeoutMs(kShortTimeoutMs);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!query.query());
    QVERIFY2(clock.elapsed() >= kShortTimeoutMs * 9 / 10, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.requests().size(), late + 1);
}

void TestVersionQuery::ignoresRepliesFromOtherSenders()
{
    // Another local user answers every request first, from another port.
    UdpResponder server(UdpService::Version, {Reply("3#3.0"), Reply("news")});
    QVERIFY(server.isListening());
    server.forgeAnswers("1#Update to 9.9");

    VersionQuery query;
    QVERIFY(query.query());
    QCOMPARE(query.entryAt(0), qMakePair(QStringLiteral("3"), QStringLiteral("3.0")));
    QCOMPARE(query.newsText(), QStringLiteral("news"));
}

void TestVersionQuery::portOverrides_data()
{
    QTest::addColumn<QByteArray>("value");   // null: unset
    QTest::addColumn<int>("port");           // 0: the default
    QTest::newRow("unset") << QByteArray() << 0;
    QTest::newRow("set") << QByteArray("4711") << 4711;
    QTest::newRow("highest") << QByteArray("65535") << 65535;
    QTest::newRow("zero") << QByteArray("0") << 0;
    QTest::newRow("too large") << QByteArray("65536") << 0;
    QTest::newRow("not a number") << QByteArray("17384x") << 0;
}

void TestVersionQuery::portOverrides()
{
    QFETCH(QByteArray, value);
    QFETCH(int, port);
    for (const char* name : {"VX3_UPDATE_SERVER_PORT", "VX3_BANNER_SERVER_PORT"}) {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    QCOMPARE(int(UpdateServerAddress::versionPort()), port ? port : 17384);
    QCOMPARE(int(UpdateServerAddress::bannerPort()), port ? port : 2009);
    pointUdpQueriesAtFreePorts();
}

QTEST_GUILESS_MAIN(TestVersionQuery)
#include "tst_versionquery.moc"
