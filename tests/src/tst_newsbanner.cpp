// The news ticker and the link label: which link a click opens (the link
// under the mouse, the news's default link, only http and https), the
// scrolling pass with its blank pause, and an empty news text. Opened links
// are caught by URL handlers instead of a browser.
#include "newsbanner.h"
#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QTextDocument>
#include <QtTest>

namespace {

const int kDeadlineMs = 20000;

bool isBlank(const QImage& image)
{
    const QRgb first = image.pixel(0, 0);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != first)
                return false;
    return true;
}

} // namespace

// Stands in for the browser.
class OpenedUrls final : public QObject
{
    Q_OBJECT

public:
    OpenedUrls()
    {
        for (const char* scheme : {"http", "https", "file", "javascript", "mailto"})
            QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), this, "open");
    }
    ~OpenedUrls() override
    {
        for (const char* scheme : {"http", "https", "file", "javascript", "mailto"})
            QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
    }
    QStringList urls;

public slots:
    void open(const QUrl& url) { urls.append(url.toString()); }
};

class TestNewsBanner final : public QObject
{
    Q_OBJECT

private slots:
    void clickOpensLinkOrDefault_data();
    void clickOpensLinkOrDefault();
    void cursorShowsLinks();
    void emptyNewsStillTicks();
    void passPausesBlankThenRestartsInside();
    void labelOpensOnlyWebLinks_data();
    void labelOpensOnlyWebLinks();
};

void TestNewsBanner::clickOpensLinkOrDefault_data()
{
    QTest::addColumn<QString>("news");
    QTest::addColumn<QString>("defaultUrl");
    QTest::addColumn<QStringList>("outsideOpens");

    const QString link = QStringLiteral("<a href=\"https://news.example/item\">READ MORE HERE</a> and the rest of a long line");
    QTest::newRow("no comment") << link << QString() << QStringList();
    QTest::newRow("URL key") << "<!--URL=http://voxaro.example/news-->" + link
                             << "http://voxaro.example/news" << QStringList{"http://voxaro.example/news"};
    QTest::newRow("lower-case key") << "<!--url=http://voxaro.example/news-->" + link << QString() << QStringList();
    QTest::newRow("spaced key") << "<!-- URL=http://voxaro.example/-->" + link << QString() << QStringList();
    QTest::newRow("value not trimmed") << "<!--URL=http://voxaro.example/ -->" + link
                                       << "http://voxaro.example/ " << QStringList{"http://voxaro.example/ "};
    // From the first "<!--" to the last "-->", so a later comment spoils the link.
    QTest::newRow("two comments") << "<!--URL=http://a.example/--><!--y-->" + link
                                  << "http://a.example/--><!--y" << QStringList{"http://a.example/--%3E%3C!--y"};
    QTest::newRow("local file refused") << "<!--URL=file:///etc/passwd-->" + link
                                        << "file:///etc/passwd" << QStringList();
}

void TestNewsBanner::clickOpensLinkOrDefault()
{
    QFETCH(QString, news);
    QFETCH(QString, defaultUrl);
    QFETCH(QStringList, outsideOpens);
    OpenedUrls opened;
    NewsBanner ticker;
    ticker.resize(400, 16);
    ticker.setNews(news);
    QCOMPARE(ticker.defaultUrl(), defaultUrl);

    // The pass starts 10 pixels inside the right border: the link's first
    // letters are there, the left part of the widget is empty.
    const int y = ticker.height() / 2;
    QTest::mouseClick(&ticker, Qt::LeftButton, Qt::NoModifier, QPoint(20, y));
    QCOMPARE(opened.urls, outsideOpens);

    opened.urls.clear();
    const QPoint onLink(static_cast<int>(ticker.offset()) + 4, y);
    QCOMPARE(ticker.anchorAt(onLink), QStringLiteral("https://news.example/item"));
    QTest::mouseClick(&ticker, Qt::LeftButton, Qt::NoModifier, onLink);
    QCOMPARE(opened.urls, QStringList{"https://news.example/item"});
}

void TestNewsBanner::cursorShowsLinks()
{
    NewsBanner ticker;
    ticker.resize(400, 16);
    ticker.show();
    QVERIFY(QTest::qWaitForWindowExposed(&ticker));
    ticker.setNews(QStringLiteral("<a href=\"https://news.example/\">LINK LINK LINK LINK</a>"));
    const int y = ticker.height() / 2;

    QCursor::setPos(ticker.mapToGlobal(QPoint(static_cast<int>(ticker.offset()) + 4, y)));
    ticker.repaint();
    QCOMPARE(ticker.cursor().shape(), Qt::PointingHandCursor);
    QCursor::setPos(ticker.mapToGlobal(QPoint(20, y)));
    ticker.repaint();
    QCOMPARE(ticker.cursor().shape(), Qt::ArrowCursor);
}

void TestNewsBanner::emptyNewsStillTicks()
{
    NewsBanner ticker;
    ticker.resize(200, 16);
    ticker.show();
    ticker.setNews(QString());
    QVERIFY(ticker.defaultUrl().isEmpty());

    QTextDocument empty;
    empty.setDocumentMargin(0);
    const int height = static_cast<int>(empty.size().height());
    QVERIFY(height > 0);
    QCOMPARE(ticker.minimumHeight(), height);
    QCOMPARE(ticker.maximumHeight(), height);

    const float start = ticker.offset();
    QCOMPARE(start, 190.0f);
    QTRY_VERIFY_WITH_TIMEOUT(ticker.offset() < start, kDeadlineMs);
    QVERIFY(isBlank(ticker.grab().toImage()));
}

void TestNewsBanner::passPausesBlankThenRestartsInside()
{
    NewsBanner ticker;
    ticker.resize(60, 16);
    ticker.show();
    QVERIFY(QTest::qWaitForWindowExposed(&ticker));
    ticker.setNews(QStringLiteral("<b>News</b>"));
    const float restart = static_cast<float>(ticker.width() - 10);
    QVERIFY(!isBlank(ticker.grab().toImage()));

    QTRY_VERIFY_WITH_TIMEOUT(ticker.isPaused(), kDeadlineMs);
    QElapsedTimer pause;
    pause.start();
    QCOMPARE(ticker.offset(), restart);
    QVERIFY(isBlank(ticker.grab().toImage()));
    // Nothing is drawn, so nothing can be clicked either.
    QVERIFY(ticker.anchorAt(QPoint(ticker.width() - 5, 8)).isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(!ticker.isPaused(), kDeadlineMs);
    QVERIFY2(pause.elapsed() >= 2800, qPrintable(QString::number(pause.elapsed())));
    QVERIFY(ticker.offset() < restart);
    QVERIFY(ticker.offset() > restart - 20);
    QTRY_VERIFY_WITH_TIMEOUT(!isBlank(ticker.grab().toImage()), kDeadlineMs);
}

void TestNewsBanner::labelOpensOnlyWebLinks_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("opens");
    QTest::newRow("https") << "https://www.voxaro.example/" << QStringList{"https://www.voxaro.example/"};
    QTest::newRow("http") << "http://b.example/x?y=1" << QStringList{"http://b.example/x?y=1"};
    QTest::newRow("empty") << QString() << QStringList();
    QTest::newRow("file") << "file:///home/user/.ssh/id_rsa" << QStringList();
    QTest::newRow("javascript") << "javascript:alert(1)" << QStringList();
    QTest::newRow("mailto") << "mailto:a@b.example" << QStringList();
}

void TestNewsBanner::labelOpensOnlyWebLinks()
{
    QFETCH(QString, url);
    QFETCH(QStringList, opens);
    OpenedUrls opened;
    UrlClickLabel label;
    label.resize(100, 20);
    label.setUrl(url);
    QTest::mouseClick(&label, Qt::RightButton);
    QCOMPARE(opened.urls, opens);
}

QTEST_MAIN(TestNewsBanner)
#include "tst_newsbanner.moc"
