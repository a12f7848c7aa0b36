// The single-instance guard: who meets whom (same program path in any letter
// case and same user), the "#" message, recovery from a socket left by a
// crashed updater, and step two guarding the installed updater's name. The
// last cases run the real program twice, as the client would start it.
#include "singleinstancechecker.h"
#include "support/udpresponder.h"
#include "updateinidata.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kDeadlineMs = 20000;

// What a crashed updater leaves: a bound socket file nobody listens on.
bool leaveStaleSocket(const QString& name)
{
    const QByteArray path = QFile::encodeName(name);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<int>(sizeof address.sun_path))
        return false;
    qstrcpy(address.sun_path, path.constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0)
        ::close(fd);
    return bound && QFileInfo::exists(QString::fromLocal8Bit(path));
}

bool send(const QString& name, const QByteArray& data)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kDeadlineMs))
        return false;
    socket.write(data);
    return socket.waitForBytesWritten(kDeadlineMs);
}

QString installProgram(const QString& dir)
{
    QDir().mkpath(dir);
    const QString program = dir + "/update";
    return QFile::copy(QStringLiteral(UPDATE_BINARY), program) ? program : QString();
}

} // namespace

class TestSingleInstance final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void nameDependsOnPathIgnoringCase();
    void messageReachesRunningInstance();
    void staleSocketIsRecovered();
    void liveInstanceKeepsItsName();
    void stepTwoGuardsInstalledUpdater();
    void secondStartOfSameProgramEndsAtOnce();
    void otherPathsDoNotMeet();
    void guardOnlyWhereOthersCannotWrite();
    void listenerOfAnotherUserIsNotBelieved();

private:
    QScopedPointer<QTemporaryDir> m_Temp;
};

void TestSingleInstance::init()
{
    m_Temp.reset(new QTemporaryDir);
    QVERIFY(m_Temp->isValid());
    qputenv("TMPDIR", QFile::encodeName(m_Temp->path()));
    // The programs started below get the same configuration directory.
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Temp->filePath("config")));
    qunsetenv("XDG_RUNTIME_DIR");
}

void TestSingleInstance::cleanup()
{
    QFile::remove(UpdateIniData::iniPath());
    qunsetenv("TMPDIR");
    m_Temp.reset();
}

void TestSingleInstance::nameDependsOnPathIgnoringCase()
{
    const QString name = SingleInstanceChecker::serverNameFor("/opt/Voxaro/update");
    QVERIFY(QRegularExpression("^" + QRegularExpression::escape(m_Temp->filePath("config"))
                               + "/VX3ClientUpdate[0-9a-f]{1,4}$")
                .match(name)
                .hasMatch());
    QVERIFY(!name.contains(QRegularExpression("VX3ClientUpdate0")));
    QCOMPARE(SingleInstanceChecker::serverNameFor("/OPT/voxaro/UPDATE"), name);
    QVERIFY(SingleInstanceChecker::serverNameFor("/opt/Voxaro2/update") != name);
    QCOMPARE(SingleInstanceChecker::serverName(),
             SingleInstanceChecker::serverNameFor(QCoreApplication::applicationFilePath()));
}

void TestSingleInstance::messageReachesRunningInstance()
{
    SingleInstanceChecker checker(nullptr);
    QVERIFY(checker.isListening());
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);

    QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 1, kDeadlineMs);
    QCOMPARE(activated.at(0).at(0).toString(), QStringLiteral("#"));

    // The text ends at a zero byte; a connection is read once.
    QLocalSocket socket;
    socket.connectToServer(SingleInstanceChecker::serverName());
    QVERIFY(socket.waitForConnected(kDeadlineMs));
    socket.write(QByteArray("ab\0cd", 5));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 2, kDeadlineMs);
    QCOMPARE(activated.at(1).at(0).toString(), QStringLiteral("ab"));
    socket.write("more");
    socket.flush();
    QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 3, kDeadlineMs);
    QCOMPARE(activated.at(2).at(0).toString(), QStringLiteral("#"));
}

void TestSingleInstance::staleSocketIsRecovered()
{
    QVERIFY(!SingleInstanceChecker::notifyRunningInstance("#"));
    QVERIFY(leaveStaleSocket(SingleInstanceChecker::serverName()));
    QVERIFY(!SingleInstanceChecker::notifyRunningInstance("#"));

    SingleInstanceChecker checker(nullptr);
    QVERIFY(checker.isListening());
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 1, kDeadlineMs);
}

void TestSingleInstance::liveInstanceKeepsItsName()
{
    SingleInstanceChecker first(nullptr);
    QSignalSpy activated(&first, &SingleInstanceChecker::otherInstanceActivate);
    {
        SingleInstanceChecker second(nullptr);
        QVERIFY(!second.isListening());
    }
    QVERIFY(first.isListening());
    QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 1, kDeadlineMs);
}

void TestSingleInstance::stepTwoGuardsInstalledUpdater()
{
    const QString installDir = m_Temp->filePath("installation");
    QVERIFY(QDir().mkpath(installDir));
    UpdateIniData::modify(7, m_Temp->path(), installDir, QStringLiteral("client_linux_amd64"));
    const QString installedName = SingleInstanceChecker::serverNameFor(installDir + "/update");

    // Step one, still running from the installation, holds the name at first.
    QScopedPointer<QLocalServer> stepOne(new QLocalServer);
    QVERIFY(stepOne->listen(installedName));

    SingleInstanceChecker checker(nullptr);
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    checker.guardInstalledUpdater();
    QVERIFY(!checker.isGuardingInstalledUpdater());
    stepOne.reset();
    QTRY_VERIFY_WITH_TIMEOUT(checker.isGuardingInstalledUpdater(), kDeadlineMs);

    // The installed updater, started by the client now, meets step two.
    QVERIFY(send(installedName, "#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 1, kDeadlineMs);
    QCOMPARE(activated.at(0).at(0).toString(), QStringLiteral("#"));
}

void TestSingleInstance::secondStartOfSameProgramEndsAtOnce()
{
    const QString first = installProgram(m_Temp->filePath("Voxaro/update"));
    const QString second = installProgram(m_Temp->filePath("VOXARO/update"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", m_Temp->path());
    env.insert("VX3_CONFIG_DIR", m_Temp->filePath("config"));
    env.insert("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    env.insert("VX3_UPDATE_SERVER_PORT", QString::number(freeUdpPort()));
    env.insert("VX3_BANNER_SERVER_PORT", QString::number(freeUdpPort()));
    env.insert("VX3_UPDATE_BASE_URL", "http://127.0.0.1:9/");
    QProcess running;
    running.setProcessEnvironment(env);
    running.start(first, {"client_linux_amd64", "5"});
    QVERIFY(running.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(SingleInstanceChecker::serverNameFor(first)), kDeadlineMs);

    QProcess again;
    again.setProcessEnvironment(env);
    again.start(second, {"client_linux_amd64", "5"});
    QVERIFY(again.waitForFinished(kDeadlineMs));
    QCOMPARE(again.exitStatus(), QProcess::NormalExit);
    QCOMPARE(again.exitCode(), 0);
    QCOMPARE(running.state(), QProcess::Running);

    running.kill();
    running.waitForFinished();
}

void TestSingleInstance::otherPathsDoNotMeet()
{
    const QString first = installProgram(m_Temp->filePath("one/update"));
    const QString second = installProgram(m_Temp->filePath("two/update"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TMPDIR", m_Temp->path());
    env.insert("VX3_CONFIG_DIR", m_Temp->filePath("config"));
    env.insert("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    env.insert("VX3_UPDATE_SERVER_PORT", QString::number(freeUdpPort()));
    env.insert("VX3_BANNER_SERVER_PORT", QString::number(freeUdpPort()));
    env.insert("VX3_UPDATE_BASE_URL", "http://127.0.0.1:9/");
    QProcess one;
    QProcess two;
    for (QProcess* process : {&one, &two}) {
        process->setProcessEnvironment(env);
        process->start(process == &one ? first : second, {"client_linux_amd64", "5"});
        QVERIFY(process->waitForStarted());
    }
    // Each got past the probe and guards its own name.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(SingleInstanceChecker::serverNameFor(first)), kDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(SingleInstanceChecker::serverNameFor(second)), kDeadlineMs);
    QCOMPARE(one.state(), QProcess::Running);
    QCOMPARE(two.state(), QProcess::Running);
    for (QProcess* process : {&one, &two}) {
        process->kill();
        process->waitForFinished();
    }
}

void TestSingleInstance::guardOnlyWhereOthersCannotWrite()
{
    const QString runtime = m_Temp->filePath("runtime");
    const QString config = m_Temp->filePath("config");
    QVERIFY(QDir().mkpath(runtime));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
    // mode of the runtime directory, mode of the configuration directory,
    // where the guard goes ("" for nowhere)
    const struct
    {
        unsigned runtimeMode;
        unsigned configMode;
        QString dir;
    } cases[] = {
        {0700, 0755, runtime},    {0777, 0755, config},    {0750, 0700, config},
        {01777, 0775, QString()}, {0777, 0757, QString()},
    };
    for (const auto& c : cases) {
        QVERIFY(QDir().mkpath(config));
        QCOMPARE(::chmod(QFile::encodeName(runtime).constData(), c.runtimeMode), 0);
        QCOMPARE(::chmod(QFile::encodeName(config).constData(), c.configMode), 0);
        QCOMPARE(SingleInstanceChecker::endpointDirectory(), c.dir);
        if (c.dir.isEmpty()) {
            SingleInstanceChecker checker(nullptr);
            QVERIFY(!checker.isListening());
            QVERIFY(!SingleInstanceChecker::notifyRunningInstance("#"));
        }
    }
}

void TestSingleInstance::listenerOfAnotherUserIsNotBelieved()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run a listener as another user");
    // Another user's listener under our name (bound elsewhere and moved in,
    // as only root could): it is neither notified nor left holding the name.
    const QString scratch = m_Temp->filePath("scratch");
    QVERIFY(QDir().mkpath(scratch));
    QCOMPARE(::chmod(QFile::encodeName(m_Temp->path()).constData(), 0711), 0);
    QCOMPARE(::chmod(QFile::encodeName(scratch).constData(), 0777), 0);
    QProcess other;
    QProcessEnvironment bare;
    bare.insert("PATH", "/usr/bin:/bin");
    other.setProcessEnvironment(bare);
    other.setWorkingDirectory("/");
    other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    other.start("/usr/bin/setpriv",
                {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                 "import socket,sys,time\ns=socket.socket(socket.AF_UNIX)\ns.bind(sys.argv[1])\n"
                 "s.listen(5)\nprint('ready',flush=True)\ntime.sleep(60)",
                 scratch + "/sock"});
    QVERIFY(other.waitForReadyRead(kDeadlineMs));
    QVERIFY(QFile::rename(scratch + "/sock", SingleInstanceChecker::serverName()));

    QVERIFY(!SingleInstanceChecker::notifyRunningInstance("#"));
    SingleInstanceChecker checker(nullptr);
    QVERIFY(checker.isListening());
    QSignalSpy activated(&checker, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::notifyRunningInstance("#"));
    QTRY_COMPARE_WITH_TIMEOUT(activated.count(), 1, kDeadlineMs);
    other.kill();
    other.waitForFinished();
}

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
