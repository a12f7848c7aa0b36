// Leftovers of earlier updates removed at start-up.
#include "support/testfiles.h"
#include "updateengine.h"

#include <QtTest>

class TestStartupCleanup final : public QObject
{
    Q_OBJECT

private slots:
    void removesReplacedCopies();
    void removesQt4Libraries();
    void missingDirectoryIsHarmless();
};

void TestStartupCleanup::removesReplacedCopies()
{
    QTemporaryDir dir;
    const QStringList old = {"_old_update", "_old_libQt5Core.so.5", "_old_libsqlite.so", "_old_libqjpeg.so"};
    const QStringList kept = {"update", "_old_client", "libQt5Core.so.5", "_old_update.bak"};
    for (const QString& name : old + kept)
        writeFile(dir.filePath(name), QByteArray());

    UpdateEngine::removeOldFiles(dir.path());
    for (const QString& name : old)
        QVERIFY2(!QFileInfo::exists(dir.filePath(name)), qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(QFileInfo::exists(dir.filePath(name)), qPrintable(name));
}

void TestStartupCleanup::removesQt4Libraries()
{
    QTemporaryDir dir;
    const QStringList qt4 = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};
    const QStringList kept = {"libQt5Core.so.5", "libQtCore.so.4.8"};
    for (const QString& name : qt4 + kept)
        writeFile(dir.filePath(name), QByteArray());

    UpdateEngine::removeQt4Files(dir.path());
    for (const QString& name : qt4)
        QVERIFY2(!QFileInfo::exists(dir.filePath(name)), qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(QFileInfo::exists(dir.filePath(name)), qPrintable(name));
}

void TestStartupCleanup::missingDirectoryIsHarmless()
{
    UpdateEngine::removeOldFiles(QStringLiteral("/nonexistent/voxaro/dir"));
    UpdateEngine::removeQt4Files(QString());
}

QTEST_GUILESS_MAIN(TestStartupCleanup)
#include "tst_startupcleanup.moc"
