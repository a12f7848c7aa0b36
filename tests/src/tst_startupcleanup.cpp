// Leftovers of earlier updates removed at start-up, and session and
// confirmation directories left by updaters that died: removed unless a
// living process holds them or they changed lately.
#include "sessiondirectory.h"
#include "startupcleanup.h"
#include "support/testfiles.h"

#include <QtTest>

class TestStartupCleanup final : public QObject
{
    Q_OBJECT

private slots:
    void removesReplacedCopies();
    void removesQt4Libraries();
    void missingDirectoryIsHarmless();
    void staleSessionDirectoriesGo();
    void lockPassesToStartedPrograms_data();
    void lockPassesToStartedPrograms();
};

void TestStartupCleanup::removesReplacedCopies()
{
    QTemporaryDir dir;
    const QStringList old = {"_old_update", "_old_libQt5Core.so.5", "_old_libsqlite.so", "_old_libqjpeg.so"};
    const QStringList kept = {"update", "_old_client", "libQt5Core.so.5", "_old_update.bak"};
    for (const QString& name : old + kept)
        writeFile(dir.filePath(name), QByteArray());

    StartupCleanup::removeOldFiles(dir.path());
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

    StartupCleanup::removeQt4Files(dir.path());
    for (const QString& name : qt4)
        QVERIFY2(!QFileInfo::exists(dir.filePath(name)), qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(QFileInfo::exists(dir.filePath(name)), qPrintable(name));
}

void TestStartupCleanup::missingDirectoryIsHarmless()
{
    StartupCleanup::removeOldFiles(QStringLiteral("/nonexistent/voxaro/dir"));
    StartupCleanup::removeQt4Files(QString());
}

void TestStartupCleanup::staleSessionDirectoriesGo()
{
    QTemporaryDir root;
    const QString tmp = root.filePath("tmp");
    writeFile(root.filePath("outside/keep"), "x");
    // An abandoned session with everything a session may hold, links too.
    writeFile(tmp + "/voxaro_temp_3/sub/deeper/file", "x");
    writeFile(tmp + "/voxaro_temp_3/.hidden", "x");
    QVERIFY(QFile::link(root.filePath("outside"), tmp + "/voxaro_temp_3/linkdir"));
    QVERIFY(QFile::link(root.filePath("outside/keep"), tmp + "/voxaro_temp_3/sub/linkfile"));
    QVERIFY(QFile::link(root.filePath("gone"), tmp + "/voxaro_temp_3/dangling"));
    writeFile(tmp + "/voxaro_temp_12/update.ini", "x");
    // Where a killed step one waited for step two, confirmed or not.
    QTemporaryDir leftover(tmp + "/voxaro_confirm_XXXXXX");
    leftover.setAutoRemove(false);
    writeFile(tmp + "/voxaro_confirm_Q7zz01/confirmed", QByteArray());
    // What must stay: a running session's, the one being taken up, a link,
    // other names, a file.
    writeFile(tmp + "/voxaro_temp_4/update.ini", "x");
    SessionDirectory running;
    QVERIFY(running.lock(tmp + "/voxaro_temp_4", false));
    writeFile(tmp + "/voxaro_temp_5/update.ini", "x");
    QVERIFY(QFile::link(root.filePath("outside"), tmp + "/voxaro_temp_6"));
    writeFile(tmp + "/voxaro_temp_x/update.ini", "x");
    writeFile(tmp + "/voxaro_temp_7", "x");
    SessionDirectory waiting;
    QVERIFY(QDir().mkpath(tmp + "/voxaro_confirm_live01"));
    QVERIFY(waiting.lock(tmp + "/voxaro_confirm_live01", false));
    QVERIFY(QDir().mkpath(tmp + "/voxaro_confirm_toolong"));
    makeOld(tmp);
    // Changed lately: maybe the session of an updater that takes no locks.
    writeFile(tmp + "/voxaro_temp_13/update.ini", "x");

    const QStringList removed = SessionDirectory::removeStale(tmp, tmp + "/voxaro_temp_5");
    QCOMPARE(QSet<QString>(removed.begin(), removed.end()),
             (QSet<QString>{tmp + "/voxaro_temp_3", tmp + "/voxaro_temp_12", leftover.path(),
                            tmp + "/voxaro_confirm_Q7zz01"}));
    QCOMPARE(
        QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
        (QStringList{"voxaro_confirm_live01", "voxaro_confirm_toolong", "voxaro_temp_13", "voxaro_temp_4",
                     "voxaro_temp_5", "voxaro_temp_6", "voxaro_temp_7", "voxaro_temp_x"}));
    QCOMPARE(readFile(root.filePath("outside/keep")), QByteArray("x"));
    QCOMPARE(readFile(tmp + "/voxaro_temp_4/update.ini"), QByteArray("x"));

    // Once its process has let go, the running session's directory is stale.
    running.unlock();
    waiting.unlock();
    QCOMPARE(SessionDirectory::removeStale(tmp, QString()),
             (QStringList{tmp + "/voxaro_confirm_live01", tmp + "/voxaro_temp_4", tmp + "/voxaro_temp_5"}));
}

void TestStartupCleanup::lockPassesToStartedPrograms_data()
{
    QTest::addColumn<bool>("inheritable");
    QTest::newRow("step one hands its lock down") << true;
    QTest::newRow("step two keeps its lock") << false;
}

void TestStartupCleanup::lockPassesToStartedPrograms()
{
    QFETCH(bool, inheritable);
    QTemporaryDir root;
    const QString session = root.filePath("voxaro_temp_1");
    QVERIFY(QDir().mkpath(session));
    SessionDirectory lock;
    QVERIFY(lock.lock(session, inheritable));
    QVERIFY(SessionDirectory::inUse(session));

    // A started program that lives until its input ends; this process lets go.
    QProcess child;
    child.start("cat", QStringList());
    QVERIFY(child.waitForStarted());
    lock.unlock();
    QCOMPARE(SessionDirectory::inUse(session), inheritable);
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished());
    QVERIFY(!SessionDirectory::inUse(session));
}

QTEST_GUILESS_MAIN(TestStartupCleanup)
#include "tst_startupcleanup.moc"
