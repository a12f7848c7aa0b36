// The banner lookup against a banner server on 127.0.0.1: the request,
// the one retry of a silent server, which replies count, and that a lookup
// reports one banner at most.
#include "banner.h"

#include "support/logcapture.h"
#include "support/udpresponder.h"

#include <QElapsedTimer>
#include <QUdpSocket>
#include <QtTest>

namespace {

const int kDeadlineMs = 20000;
const QByteArray kRequest("\x01\x01", 2);

} // namespace

class TestBanner final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void silentServerIsAskedTwiceFiveSecondsApart();
    void replyNeedsExactlyTwoParts_data();
    void replyNeedsExactlyTwoParts();
    void lateReplyIsAcceptedOnce();
    void repliesFromOtherSendersAreIgnored();
};

void TestBanner::initTestCase()
{
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    pointUdpQueriesAtFreePorts();
}

void TestBanner::silentServerIsAskedTwiceFiveSecondsApart()
{
    UdpResponder server(UdpService::Banner, {});
    QVERIFY(server.isListening());
    LogCapture log;
    Banner banner(nullptr);
    QSignalSpy found(&banner, &Banner::bannerFound);

    // Measured from the start, as noticing the first request may lag; the
    // time-out is a coarse timer, which may fire up to 5 % early.
    QElapsedTimer clock;
    clock.start();
    banner.run();
    QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 1, kDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 2, kDeadlineMs);
    QVERIFY2(clock.elapsed() >= 4750, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.requests().at(0), kRequest);
    QCOMPARE(server.requests().at(1), kRequest);

    // A third request would go out from the second time-out itself.
    QTRY_COMPARE_WITH_TIMEOUT(log.count("get banner from server timed out"), 2, kDeadlineMs);
    QCoreApplication::processEvents();
    QCOMPARE(server.requests().size(), 2);
    QCOMPARE(found.count(), 0);
}

void TestBanner::replyNeedsExactlyTwoParts_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("urls");   // empty: refused

    QTest::newRow("two parts") << QByteArray("http://b/x.jpg,https://c/?a=\xe9") << QStringList{"http://b/x.jpg", QString::fromLatin1("https://c/?a=\xe9")};
    QTest::newRow("single comma") << QByteArray(",") << QStringList{"", ""};
    QTest::newRow("untrimmed") << QByteArray(" a , b ") << QStringList{" a ", " b "};
    QTest::newRow("three parts") << QByteArray("a,b,c") << QStringList();
    QTest::newRow("no comma") << QByteArray("http://b/x.jpg") << QStringList();
    // Only the first 1024 bytes are read: the third part lies beyond them.
    QTest::newRow("cut at 1024 bytes")
        << "a," + QByteArray(1022, 'b') + ",c" << QStringList{"a", QString(1022, 'b')};
}

void TestBanner::replyNeedsExactlyTwoParts()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, urls);
    UdpResponder server(UdpService::Banner, {reply});
    QVERIFY(server.isListening());
    LogCapture log;
    Banner banner(nullptr);
    QSignalSpy found(&banner, &Banner::bannerFound);

    banner.run();
    QTRY_VERIFY_WITH_TIMEOUT(log.count("Reply from banner server:") == 1, kDeadlineMs);
    QCoreApplication::processEvents();
    if (urls.isEmpty()) {
        QCOMPARE(found.count(), 0);
        QCOMPARE(log.count("invalid response:"), 1);
    } else {
        QCOMPARE(found.count(), 1);
        QCOMPARE(found.at(0).at(0).toString(), urls.at(0));
        QCOMPARE(found.at(0).at(1).toString(), urls.at(1));
    }
}

// The first request's reply comes late, together with the reply to the retry:
// the banner is reported once, with the first reply.
void TestBanner::lateReplyIsAcceptedOnce()
{
    QUdpSocket server;
    QVERIFY(server.bind(QHostAddress(QHostAddress::LocalHost), 0));
    pointUdpQueriesAt(UdpService::Banner, server.localPort());
    LogCapture log;
    Banner banner(nullptr);
    QSignalSpy found(&banner, &Banner::bannerFound);

    banner.run();
    QHostAddress peer;
    quint16 peerPort = 0;
    int requests = 0;
    QDeadlineTimer deadline(kDeadlineMs);
    while (requests < 2 && !deadline.hasExpired()) {
        if (!server.hasPendingDatagrams()) {
            QTest::qWait(20);
            continue;
        }
        QByteArray request(16, '\0');
        request.truncate(static_cast<int>(server.readDatagram(request.data(), request.size(), &peer, &peerPort)));
        QCOMPARE(request, kRequest);
        ++requests;
    }
    QCOMPARE(requests, 2);
    QCOMPARE(found.count(), 0);

    server.writeDatagram(QByteArray("http://b/late.jpg,http://c/late"), peer, peerPort);
    server.writeDatagram(QByteArray("http://b/retry.jpg,http://c/retry"), peer, peerPort);
    QTRY_COMPARE_WITH_TIMEOUT(log.count("Reply from banner server:"), 2, kDeadlineMs);
    QCoreApplication::processEvents();
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toString(), QStringLiteral("http://b/late.jpg"));
    QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("http://c/late"));
}

void TestBanner::repliesFromOtherSendersAreIgnored()
{
    UdpResponder server(UdpService::Banner, {QByteArray("http://b/real.jpg,http://c/real")});
    QVERIFY(server.isListening());
    server.forgeAnswers("http://evil/x.jpg,http://evil/");
    Banner banner(nullptr);
    QSignalSpy found(&banner, &Banner::bannerFound);

    banner.run();
    QTRY_COMPARE_WITH_TIMEOUT(found.count(), 1, kDeadlineMs);
    QCOMPARE(found.at(0).at(0).toString(), QStringLiteral("http://b/real.jpg"));
}

QTEST_GUILESS_MAIN(TestBanner)
#include "tst_banner.moc"
