// The engine's banner: the cache between the two steps, the lookup over UDP
// (a real server on 127.0.0.1) and the image download (a real HTTP server)
// with its size limit, announced or not.
#include "bannercache.h"
#include "configuration.h"
#include "support/httptestserver.h"
#include "support/udpresponder.h"
#include "updateengine.h"

#include <QtTest>

using Reply = std::optional<QByteArray>;

namespace {

QByteArray image(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(i * 131 % 251);
    return data;
}

} // namespace

class TestEngineBanner final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void cachedBannerSkipsLookup();
    void lookupThenDownload();
    void sizeLimit_data();
    void sizeLimit();
    void refusesUrlsThatAreNotWeb_data();
    void refusesUrlsThatAreNotWeb();

private:
    // Looks a banner up through `reply` and waits for the engine's answer.
    QList<QList<QVariant>> lookUp(const QByteArray& reply, int waitMs);

    QTemporaryDir m_Tmp;
    HttpTestServer m_Http;
};

void TestEngineBanner::initTestCase()
{
    QVERIFY(m_Tmp.isValid());
    QVERIFY(m_Http.listen());
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    pointUdpQueriesAtFreePorts();
    qputenv("TMPDIR", QFile::encodeName(m_Tmp.path()));
}

void TestEngineBanner::init()
{
    BannerCache::remove();
}

QList<QList<QVariant>> TestEngineBanner::lookUp(const QByteArray& reply, int waitMs)
{
    UdpResponder server(UdpService::Banner, {Reply(reply)});
    Configuration config;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    found.wait(waitMs);
    return found;
}

void TestEngineBanner::cachedBannerSkipsLookup()
{
    QVERIFY(BannerCache::write("cached image", "https://example.org/click"));
    UdpResponder server(UdpService::Banner, {Reply("http://127.0.0.1:1/x.jpg,http://c")});
    QVERIFY(server.isListening());
    Configuration config;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy found(&engine, &UpdateEngine::bannerFound);
    engine.getBanner();
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toByteArray(), QByteArray("cached image"));
    QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("https://example.org/click"));
    QCoreApplication::processEvents();
    QVERIFY(server.requests().isEmpty());
}

void TestEngineBanner::lookupThenDownload()
{
    m_Http.setFile("/banner.jpg", image(1000));
    const QList<QList<QVariant>> found =
        lookUp((m_Http.url("/banner.jpg") + ",https://voxaro.example/offer").toLatin1(), 10000);
    QCOMPARE(found.count(), 1);
    QCOMPARE(found.at(0).at(0).toByteArray(), image(1000));
    QCOMPARE(found.at(0).at(1).toString(), QStringLiteral("https://voxaro.example/offer"));
}

void TestEngineBanner::sizeLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("at the limit") << 270000 << true << true;
    QTest::newRow("one byte over") << 270001 << true << false;
    QTest::newRow("at the limit, no length") << 270000 << false << true;
    QTest::newRow("far over, no length") << 2000000 << false << false;
}

void TestEngineBanner::sizeLimit()
{
    QFETCH(int, size);
    QFETCH(bool, announced);
    QFETCH(bool, accepted);
    const QString path = QStringLiteral("/big%1%2.jpg").arg(size).arg(announced);
    m_Http.setFile(path, image(size));
    if (!announced)
        m_Http.setDefault(path, HttpTestServer::Response::noLength());

    // A refused banner shows nothing at all; wait long enough for the whole
    // body to have arrived had it been accepted.
    const QList<QList<QVariant>> found = lookUp((m_Http.url(path) + ",http://c").toLatin1(), accepted ? 10000 : 3000);
    QCOMPARE(found.count(), accepted ? 1 : 0);
    if (accepted)
        QCOMPARE(found.at(0).at(0).toByteArray().size(), size);
}

void TestEngineBanner::refusesUrlsThatAreNotWeb_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("local file") << QByteArray("file:///etc/passwd,http://c");
    QTest::newRow("no url") << QByteArray(":::,http://c");
}

void TestEngineBanner::refusesUrlsThatAreNotWeb()
{
    QFETCH(QByteArray, reply);
    QCOMPARE(lookUp(reply, 1500).count(), 0);
}

QTEST_MAIN(TestEngineBanner)
#include "tst_enginebanner.moc"
