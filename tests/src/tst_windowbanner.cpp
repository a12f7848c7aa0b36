// The banner from the window's point of view, with the real engine: a banner
// cached by step one is shown at once without asking the banner server; cache
// files that someone else planted, links and FIFOs are ignored (and do not
// block the window's construction), so the server is asked instead; a banner
// found through the server is downloaded, shown and cached.
#include "banner.h"
#include "bannercache.h"
#include "configuration.h"
#include "mainwindow.h"
#include "urlclicklabel.h"

#include "support/httptestserver.h"
#include "support/udpresponder.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const int kDeadlineMs = 20000;

QByteArray jpegImage(const QColor& colour)
{
    QImage image(468, 60, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return data;
}

QPixmap bannerPixmap(const MainWindow& window)
{
    return window.findChild<UrlClickLabel*>("banner")->pixmap(Qt::ReturnByValue);
}

} // namespace

class TestWindowBanner final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void cachedBannerSkipsLookup();
    void unsafeCacheIsIgnored_data();
    void unsafeCacheIsIgnored();
    void foundBannerIsDownloadedShownAndCached();

private:
    QScopedPointer<QTemporaryDir> m_Temp;
    std::unique_ptr<Configuration> m_Config;
};

void TestWindowBanner::init()
{
    m_Temp.reset(new QTemporaryDir);
    QVERIFY(m_Temp->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_Temp->path()));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Temp->filePath("config")));
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    pointUdpQueriesAtFreePorts();
    m_Config = std::make_unique<Configuration>();
    QVERIFY(m_Config->parseCommandLineOptions({"update", "client_linux_amd64", "31"}));
}

void TestWindowBanner::cleanup()
{
    m_Config.reset();
    qunsetenv("TMPDIR");
    m_Temp.reset();
}

void TestWindowBanner::cachedBannerSkipsLookup()
{
    UdpResponder server(UdpService::Banner, {});
    QVERIFY(server.isListening());
    QVERIFY(BannerCache::write(jpegImage(Qt::darkGreen), "https://ads.example/cached"));

    MainWindow window(m_Config.get());
    QVERIFY(!bannerPixmap(window).isNull());
    QCOMPARE(window.findChild<UrlClickLabel*>("banner")->url(), QStringLiteral("https://ads.example/cached"));
    // No lookup was even created, so the server can never be asked.
    QVERIFY(!window.findChild<Banner*>());
    QCOMPARE(server.requests().size(), 0);
}

void TestWindowBanner::unsafeCacheIsIgnored_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("planted by another user") << "other user";
    QTest::newRow("fifo") << "fifo";
    QTest::newRow("symlink") << "symlink";
}

void TestWindowBanner::unsafeCacheIsIgnored()
{
    QFETCH(QString, kind);
    UdpResponder server(UdpService::Banner, {});
    QVERIFY(server.isListening());
    const QByteArray urlFile = QFile::encodeName(BannerCache::urlPath());
    QFile image(BannerCache::imagePath());
    QVERIFY(image.open(QIODevice::WriteOnly));
    image.write(jpegImage(Qt::red));
    image.close();

    if (kind == "other user") {
        if (::geteuid() != 0)
            QSKIP("planting a file of another user needs root");
        QFile url(BannerCache::urlPath());
        QVERIFY(url.open(QIODevice::WriteOnly));
        url.write("https://attacker.example/");
        url.close();
        QCOMPARE(::chown(urlFile.constData(), 65534, static_cast<gid_t>(-1)), 0);
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(urlFile.constData(), 0600), 0);
    } else {
        QFile target(m_Temp->filePath("elsewhere"));
        QVERIFY(target.open(QIODevice::WriteOnly));
        target.write("https://attacker.example/");
        target.close();
        QVERIFY(QFile::link(target.fileName(), BannerCache::urlPath()));
    }

    MainWindow window(m_Config.get());
    QVERIFY(bannerPixmap(window).isNull());
    QTRY_COMPARE_WITH_TIMEOUT(server.requests().size(), 1, kDeadlineMs);
    QCOMPARE(server.requests().at(0), QByteArray("\x01\x01", 2));
}

void TestWindowBanner::foundBannerIsDownloadedShownAndCached()
{
    HttpTestServer files;
    QVERIFY(files.listen());
    files.setFile("/banners/b.jpg", jpegImage(Qt::blue));
    UdpResponder server(UdpService::Banner, {(files.url("/banners/b.jpg") + ",https://ads.example/go?x=1").toLatin1()});
    QVERIFY(server.isListening());

    MainWindow window(m_Config.get());
    QTRY_VERIFY_WITH_TIMEOUT(!bannerPixmap(window).isNull(), kDeadlineMs);
    auto* banner = window.findChild<UrlClickLabel*>("banner");
    QCOMPARE(banner->url(), QStringLiteral("https://ads.example/go?x=1"));
    QCOMPARE(banner->toolTip(), QStringLiteral("Click to open \"https://ads.example\""));

    QByteArray image;
    QString url;
    QVERIFY(BannerCache::read(&image, &url));
    QCOMPARE(url, QStringLiteral("https://ads.example/go?x=1"));
    const QImage cached = QImage::fromData(image, "JPG");
    QCOMPARE(cached.size(), QSize(468, 60));
}

QTEST_MAIN(TestWindowBanner)
#include "tst_windowbanner.moc"
