// The real `update` program, started as the client starts it: leftovers are
// removed at start, and a rejected command line shows its error box and ends
// with exit code 1 once the box is closed (under a real X server, Xvfb).
#include "support/udpresponder.h"

#include <QtTest>

namespace {

const int kDeadlineMs = 20000;

// A private X server on a display number it picks itself.
class XServer final
{
public:
    XServer()
    {
        m_Process.setProgram(QStringLiteral("Xvfb"));
        m_Process.setArguments({"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"});
        m_Process.start();
        if (!m_Process.waitForStarted(kDeadlineMs))
            return;
        // Xvfb writes the display number once it accepts clients.
        QDeadlineTimer deadline(kDeadlineMs);
        while (!m_Process.canReadLine() && !deadline.hasExpired())
            m_Process.waitForReadyRead(100);
        const QByteArray line = m_Process.readLine().trimmed();
        if (!line.isEmpty())
            m_Display = QStringLiteral(":") + QString::fromLatin1(line);
    }
    ~XServer()
    {
        m_Process.terminate();
        m_Process.waitForFinished(kDeadlineMs);
    }
    QString display() const { return m_Display; }

private:
    QProcess m_Process;
    QString m_Display;
};

// A copy of the program in a directory of its own, as an installation has it.
QString installProgram(const QTemporaryDir& dir)
{
    const QString program = dir.filePath(QStringLiteral("update"));
    QFile::remove(program);
    if (!QFile::copy(QStringLiteral(UPDATE_BINARY), program))
        return QString();
    return program;
}

QProcessEnvironment cleanEnvironment(const QTemporaryDir& dir)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("VX3_CONFIG_DIR"), dir.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("TMPDIR"), dir.path());
    env.insert(QStringLiteral("VX3_UPDATE_SERVER_HOST"), QStringLiteral("127.0.0.1"));
    env.insert(QStringLiteral("VX3_UPDATE_SERVER_PORT"), QString::number(freeUdpPort()));
    env.insert(QStringLiteral("VX3_BANNER_SERVER_PORT"), QString::number(freeUdpPort()));
    return env;
}

} // namespace

class TestUpdateProgram final : public QObject
{
    Q_OBJECT

private slots:
    void removesLeftoversAtStart();
    void diagnosticsGoToNamedFile();
    void invalidVersionEndsWithExitCodeOne();
};

void TestUpdateProgram::removesLeftoversAtStart()
{
    QTemporaryDir dir;
    const QString program = installProgram(dir);
    QVERIFY(!program.isEmpty());
    QVERIFY(QDir(dir.path()).mkpath("old"));
    QVERIFY(QDir(dir.path()).mkpath("imageformats"));
    for (const QString& name : {QString("_old_update"), QString("imageformats/_old_libqjpeg.so"),
                                QString("libQtGui.so.4"), QString("keep.txt")}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QProcess update;
    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    update.setProcessEnvironment(env);
    update.start(program, {"client_linux_amd64", "5"});
    QVERIFY(update.waitForStarted());

    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir.filePath("old")), kDeadlineMs);
    QVERIFY(!QFileInfo::exists(dir.filePath("_old_update")));
    QVERIFY(!QFileInfo::exists(dir.filePath("imageformats/_old_libqjpeg.so")));
    QVERIFY(!QFileInfo::exists(dir.filePath("libQtGui.so.4")));
    QVERIFY(QFileInfo::exists(dir.filePath("keep.txt")));
    QCOMPARE(update.state(), QProcess::Running);   // a valid command line opens the window

    update.kill();
    update.waitForFinished();
    // Diagnostics are dropped: nothing reaches the console.
    QCOMPARE(update.readAllStandardError(), QByteArray());
    QCOMPARE(update.readAllStandardOutput(), QByteArray());
}

void TestUpdateProgram::diagnosticsGoToNamedFile()
{
    QTemporaryDir dir;
    const QString program = installProgram(dir);
    QVERIFY(!program.isEmpty());
    const QString log = dir.filePath("diagnostics.txt");
    QProcess update;
    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("VX3_UPDATE_DIAGNOSTICS", log);
    update.setProcessEnvironment(env);
    update.start(program, {"client_linux_amd64", "5"});
    QVERIFY(update.waitForStarted());

    auto logText = [&log] {
        QFile file(log);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(logText().contains("Removing old files done"), kDeadlineMs);
    QVERIFY(logText().contains("Voxaro updater started"));
    update.kill();
    update.waitForFinished();
    QCOMPARE(update.readAllStandardError(), QByteArray());
}

void TestUpdateProgram::invalidVersionEndsWithExitCodeOne()
{
    XServer x;
    if (x.display().isEmpty())
        QSKIP("Xvfb could not be started");

    QTemporaryDir dir;
    const QString program = installProgram(dir);
    QVERIFY(!program.isEmpty());
    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("DISPLAY", x.display());
    env.remove("QT_QPA_PLATFORM");
    env.remove("WAYLAND_DISPLAY");

    QProcess update;
    update.setProcessEnvironment(env);
    update.start(program, {"client_linux_amd64", "12a"});
    QVERIFY(update.waitForStarted());

    // Find the error box, give it the keyboard and press Return on its OK button.
    QProcess xdotool;
    xdotool.setProcessEnvironment(env);
    QString window;
    QDeadlineTimer deadline(kDeadlineMs);
    while (window.isEmpty() && !deadline.hasExpired()) {
        xdotool.start("xdotool", {"search", "--onlyvisible", "--name", "^Error$"});
        xdotool.waitForFinished();
        window = QString::fromLatin1(xdotool.readAllStandardOutput()).split('\n').first().trimmed();
        QVERIFY(update.state() == QProcess::Running);
    }
    QVERIFY2(!window.isEmpty(), "no error box appeared");

    QCOMPARE(update.exitCode(), 0);
    xdotool.start("xdotool", {"windowfocus", "--sync", window, "key", "--window", window, "Return"});
    QVERIFY(xdotool.waitForFinished());

    QVERIFY(update.waitForFinished(kDeadlineMs));
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 1);
}

QTEST_GUILESS_MAIN(TestUpdateProgram)
#include "tst_updateprogram.moc"
