// Starting the next program after an update: real scripts stand in for the
// new updater and the client's run script and write down where they ran and
// with which arguments.
#include "processtools.h"

#include <QtTest>

namespace {

const int kDeadlineMs = 20000;

// A script that writes its working directory and arguments, one a line, to
// `report` once it has run.
bool writeScript(const QString& path, const QString& report)
{
    QFile script(path);
    if (!script.open(QIODevice::WriteOnly))
        return false;
    script.write("#!/bin/sh\n{ pwd; for a in \"$@\"; do echo \"$a\"; done; } > '"
                 + QFile::encodeName(report) + ".part' && mv '" + QFile::encodeName(report) + ".part' '"
                 + QFile::encodeName(report) + "'\n");
    script.close();
    return script.setPermissions(script.permissions() | QFile::ExeOwner);
}

QStringList reportLines(const QString& report)
{
    QFile file(report);
    if (!file.open(QIODevice::ReadOnly))
        return QStringList();
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

} // namespace

class TestProcessTools final : public QObject
{
    Q_OBJECT

private slots:
    void newUpdaterRunsInItsDirectory();
    void missingUpdaterStartsNothing();
    void attachedUpdaterEndsWithItsStatus();
    void runScriptRunsInInstallation();
};

void TestProcessTools::newUpdaterRunsInItsDirectory()
{
    QTemporaryDir dir;
    QTemporaryDir reports;
    const QString report = reports.filePath("report");
    QVERIFY(writeScript(dir.filePath("update"), report));

    const QStringList arguments{"--clientupdate", "client_linux_amd64", "42", "#", "News with <b>spaces</b>"};
    QVERIFY(ProcessTools::startClientUpdater(dir.path(), arguments));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(report), kDeadlineMs);
    QCOMPARE(reportLines(report), QStringList{QDir(dir.path()).canonicalPath()} + arguments);
}

void TestProcessTools::missingUpdaterStartsNothing()
{
    QTemporaryDir dir;
    QTemporaryDir reports;
    // Something of almost the right name is not the updater.
    QVERIFY(writeScript(dir.filePath("Update"), reports.filePath("report")));
    QVERIFY(!ProcessTools::startClientUpdater(dir.path(), {"--clientupdate"}));
    QVERIFY(!ProcessTools::runClientUpdater(dir.path(), {"--clientupdate"}, nullptr));
}

void TestProcessTools::attachedUpdaterEndsWithItsStatus()
{
    // Ends with the number of its arguments when it runs in its directory.
    QTemporaryDir dir;
    QFile script(dir.filePath("update"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\n[ \"$(pwd -P)\" = '" + QFile::encodeName(QDir(dir.path()).canonicalPath())
                 + "' ] || exit 99\nexit $#\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFile::ExeOwner));

    QObject owner;
    QProcess* process =
        ProcessTools::runClientUpdater(dir.path(), {"--clientupdate", "a b", "--unattended"}, &owner);
    QVERIFY(process);
    QCOMPARE(process->parent(), &owner);
    QVERIFY(process->waitForFinished(kDeadlineMs));
    QCOMPARE(process->exitCode(), 3);
}

void TestProcessTools::runScriptRunsInInstallation()
{
    QTemporaryDir install;
    QTemporaryDir reports;
    const QString report = reports.filePath("report");
    QVERIFY(writeScript(install.filePath("vx3client_runscript.sh"), report));
    QVERIFY(QDir::setCurrent(reports.path()));

    QVERIFY(ProcessTools::startVx3Client(install.path()));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(report), kDeadlineMs);
    QCOMPARE(reportLines(report), QStringList{QDir(install.path()).canonicalPath()});
}

QTEST_GUILESS_MAIN(TestProcessTools)
#include "tst_processtools.moc"
