// The banner cache in the shared temporary directory: what this user wrote is
// read back; what someone else planted there, links and FIFOs are not used,
// not followed and do not block.
#include "bannercache.h"
#include "support/testfiles.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Any user but the one running the tests.
uid_t otherUser()
{
    return ::geteuid() == 65534 ? 1 : 65534;
}

} // namespace

class TestBannerCache final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void writtenBannerIsReadBack();
    void bothFilesAreNeeded();
    void unsafeFilesAreIgnored_data();
    void unsafeFilesAreIgnored();
    void writeDoesNotFollowLinks();

private:
    QScopedPointer<QTemporaryDir> m_Temp;
    QScopedPointer<QTemporaryDir> m_Elsewhere;
};

void TestBannerCache::init()
{
    m_Temp.reset(new QTemporaryDir);
    m_Elsewhere.reset(new QTemporaryDir);
    QVERIFY(m_Temp->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_Temp->path()));
    QCOMPARE(QFileInfo(BannerCache::imagePath()).absolutePath(), QFileInfo(m_Temp->path()).absoluteFilePath());
}

void TestBannerCache::cleanup()
{
    qunsetenv("TMPDIR");
    m_Temp.reset();
    m_Elsewhere.reset();
}

void TestBannerCache::writtenBannerIsReadBack()
{
    const QByteArray image("\xff\xd8\xff\xe0 not really a JPEG", 23);
    const QString url = QString::fromUtf8("https://example.org/ä?x=1,2&y=%20");
    QVERIFY(BannerCache::write(image, url));
    QCOMPARE(readFile(BannerCache::urlPath()), url.toUtf8().toPercentEncoding());
    QCOMPARE(QFileInfo(BannerCache::imagePath()).permissions() & (QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());

    QByteArray readImage;
    QString readUrl;
    QVERIFY(BannerCache::read(&readImage, &readUrl));
    QCOMPARE(readImage, image);
    QCOMPARE(readUrl, url);

    // A shorter banner replaces a longer one completely.
    QVERIFY(BannerCache::write("ab", QStringLiteral("http://x/")));
    QVERIFY(BannerCache::read(&readImage, &readUrl));
    QCOMPARE(readImage, QByteArray("ab"));

    BannerCache::remove();
    QVERIFY(!QFileInfo::exists(BannerCache::imagePath()));
    QVERIFY(!QFileInfo::exists(BannerCache::urlPath()));
    QVERIFY(!BannerCache::read(&readImage, &readUrl));
}

void TestBannerCache::bothFilesAreNeeded()
{
    QByteArray image("old");
    QString url("old");
    writeFile(BannerCache::imagePath(), "image");
    QVERIFY(!BannerCache::read(&image, &url));
    QVERIFY(image.isEmpty() && url.isEmpty());

    // The URL ends at a zero byte; nothing before it is nothing at all.
    writeFile(BannerCache::urlPath(), "%00http://x/");
    QVERIFY(!BannerCache::read(&image, &url));
    writeFile(BannerCache::urlPath(), "http://x/%00junk");
    QVERIFY(BannerCache::read(&image, &url));
    QCOMPARE(url, QStringLiteral("http://x/"));
}

void TestBannerCache::unsafeFilesAreIgnored_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("imageFile");   // which of the two files is unsafe
    for (const char* kind : {"other user", "fifo", "symlink"}) {
        QTest::newRow(qPrintable(QString("%1 image").arg(kind))) << QString(kind) << true;
        QTest::newRow(qPrintable(QString("%1 url").arg(kind))) << QString(kind) << false;
    }
}

void TestBannerCache::unsafeFilesAreIgnored()
{
    QFETCH(QString, kind);
    QFETCH(bool, imageFile);
    const QString unsafe = imageFile ? BannerCache::imagePath() : BannerCache::urlPath();
    const QString safe = imageFile ? BannerCache::urlPath() : BannerCache::imagePath();
    writeFile(safe, "http://x/");

    const QByteArray path = QFile::encodeName(unsafe);
    if (kind == "other user") {
        if (::geteuid() != 0)
            QSKIP("planting a file of another user needs root");
        writeFile(unsafe, "http://attacker/");
        QCOMPARE(::chown(path.constData(), otherUser(), static_cast<gid_t>(-1)), 0);
    } else if (kind == "fifo") {
        // Opening it for reading would block for ever if it were opened plainly.
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
    } else {
        const QString target = m_Elsewhere->filePath("target");
        writeFile(target, "http://attacker/");
        QVERIFY(QFile::link(target, unsafe));
    }

    QByteArray image;
    QString url;
    QVERIFY(!BannerCache::read(&image, &url));
    QVERIFY(image.isEmpty());
    QVERIFY(url.isEmpty());
}

void TestBannerCache::writeDoesNotFollowLinks()
{
    const QString target = m_Elsewhere->filePath("precious");
    writeFile(target, "keep me");
    QVERIFY(QFile::link(target, BannerCache::imagePath()));
    QVERIFY(!BannerCache::write("image", QStringLiteral("http://x/")));
    QCOMPARE(readFile(target), QByteArray("keep me"));
    QVERIFY(!QFileInfo::exists(BannerCache::urlPath()));
    // Removing the cache removes the link, not what it points to.
    BannerCache::remove();
    QVERIFY(!QFileInfo(BannerCache::imagePath()).isSymLink());
    QCOMPARE(readFile(target), QByteArray("keep me"));

    // A FIFO in place of the URL file neither blocks nor is written.
    QCOMPARE(::mkfifo(QFile::encodeName(BannerCache::urlPath()).constData(), 0600), 0);
    QVERIFY(!BannerCache::write("image", QStringLiteral("http://x/")));
}

QTEST_GUILESS_MAIN(TestBannerCache)
#include "tst_bannercache.moc"
