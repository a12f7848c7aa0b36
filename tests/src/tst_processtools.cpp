// Starting the next program after an update: real scripts stand in for the
// new updater and the client's run script and write down where they ran and
// with which arguments. Unattended, a new updater that does not confirm is
// not taken at its word.
#include "processtools.h"
#include "steptworun.h"

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
    void stepTwoRunStatus_data();
    void stepTwoRunStatus();
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
    QVERIFY(!ProcessTools::runClientUpdater(dir.path(), {"--clientupdate"}, {}, nullptr));
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
    QProcess* process = ProcessTools::runClientUpdater(dir.path(), {"--clientupdate", "a b", "--unattended"},
                                                       QProcessEnvironment::systemEnvironment(), &owner);
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

void TestProcessTools::stepTwoRunStatus_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("confirmWithinMs");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    // Step one holds the directory it waits in, so no sweep takes it meanwhile.
    const QByteArray confirm = "flock -xn \"${VX3_UNATTENDED_CONFIRMATION%/*}\" true && exit 9\n"
                               "touch \"$VX3_UNATTENDED_CONFIRMATION\"\n";
    QTest::newRow("confirmed, failed") << confirm + "exit 3\n"
                                       << kDeadlineMs << 3 << "Step two ended with exit status 3";
    QTest::newRow("confirmed, killed") << confirm + "kill -KILL $$\n"
                                       << kDeadlineMs << 4 << "Step two ended with exit status 4";
    QTest::newRow("ended unconfirmed")
        << QByteArray("exit 0\n") << kDeadlineMs << 4
        << "The new updater ended with exit status 0 without running unattended";
    // An older build with its window: left running (until this test ends).
    QTest::newRow("never confirmed")
        << QByteArray("cat\n") << 200 << 4
        << "The new updater did not confirm an unattended run within 0.2 s; it is left "
           "running on its own";
}

void TestProcessTools::stepTwoRunStatus()
{
    QFETCH(QByteArray, script);
    QFETCH(int, confirmWithinMs);
    QFETCH(int, status);
    QFETCH(QString, text);
    QTemporaryDir dir;
    QFile file(dir.filePath("update"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("#!/bin/sh\n" + script);
    file.close();
    QVERIFY(file.setPermissions(file.permissions() | QFile::ExeOwner));

    StepTwoRun run(nullptr);
    QSignalSpy ended(&run, &StepTwoRun::ended);
    QVERIFY(run.start(dir.path(), {"--unattended"}, confirmWithinMs));
    QVERIFY(ended.wait(2 * kDeadlineMs));
    QCOMPARE(ended.at(0).at(0).toInt(), status);
    QCOMPARE(ended.at(0).at(1).toString(), text);
}

QTEST_GUILESS_MAIN(TestProcessTools)
#include "tst_processtools.moc"
