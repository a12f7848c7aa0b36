// The real `update` program, started as the client starts it: leftovers are
// removed at start, and a rejected command line shows its error box and ends
// with exit code 1 once the box is closed (under a real X server, Xvfb).
// Unattended, against a real HTTP server with a release made by the real
// publisher's tool: both steps run without a display or a box, the process
// ends with the status of the whole update, and the diagnostics file says why;
// a new updater that does not confirm an unattended run (an older build) is
// not waited for, and an installation whose interrupted update could not be
// undone gets no session at all.
#include "support/httptestserver.h"
#include "support/testfiles.h"
#include "support/udpresponder.h"

#include <QtTest>

namespace {

const int kDeadlineMs = 20000;

// A private X server on a display number it picks itself.
//
// -noreset: by default the server resets when its last client leaves and
// drops every connection that arrives meanwhile, so the first probe for the
// box, ending just as the program connects, would cost the program its
// display. Only the abstract socket: it belongs to the test's network
// namespace, while the socket file in /tmp/.X11-unix is shared with every
// other X server of the machine, which would lose its own to this one.
class XServer final
{
public:
    XServer()
    {
        m_Process.setProgram(QStringLiteral("Xvfb"));
        m_Process.setArguments({"-displayfd", "1", "-noreset", "-nolisten", "tcp", "-nolisten", "unix",
                                "-screen", "0", "1024x768x24"});
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
    void unattendedUpdateEndsWithItsStatus_data();
    void unattendedUpdateEndsWithItsStatus();
    void unattendedRunRefusesUnrecoveredInstallation();
    void keyFingerprintsNameTheEmbeddedKeys();
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
        // Polled, since no event loop runs here to notice its end.
        QVERIFY2(
            !update.waitForFinished(0),
            qPrintable(
                QString("update ended early, status %1 %2").arg(update.exitStatus()).arg(update.exitCode())));
    }
    QVERIFY2(!window.isEmpty(), "no error box appeared");

    QCOMPARE(update.exitCode(), 0);
    xdotool.start("xdotool", {"windowfocus", "--sync", window, "key", "--window", window, "Return"});
    QVERIFY(xdotool.waitForFinished());

    QVERIFY(update.waitForFinished(kDeadlineMs));
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 1);
}

void TestUpdateProgram::unattendedUpdateEndsWithItsStatus_data()
{
    QTest::addColumn<bool>("clientPublished");
    // The new updater: empty for the real program, else a script.
    QTest::addColumn<QByteArray>("newUpdater");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("lastWord");
    const QString stepTwoEnded = "Step two ended with exit status %1";
    QTest::newRow("both steps succeed") << true << QByteArray() << 0 << stepTwoEnded.arg(0);
    QTest::newRow("step two finds no client release") << false << QByteArray() << 3 << stepTwoEnded.arg(3);
    // An older build runs with its window and lives until step one has gone.
    QTest::newRow("new updater of an older build")
        << true
        << QByteArray("#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > \"$VX_TEST_MARKER.args\"\ncat\n"
                      "echo released > \"$VX_TEST_MARKER.released\"\n")
        << 4 << "The new updater did not confirm an unattended run within 2 s; it is left running on its own";
}

void TestUpdateProgram::unattendedUpdateEndsWithItsStatus()
{
    QFETCH(bool, clientPublished);
    QFETCH(QByteArray, newUpdater);
    QFETCH(int, status);
    QFETCH(QString, lastWord);

    // Version 1 installed; version 2 of the updater is the same program, and
    // version 2 of the client changes and adds a data file.
    QTemporaryDir dir;
    const QString install = dir.filePath("install");
    QVERIFY(QDir().mkpath(install));
    QVERIFY(QDir().mkpath(dir.filePath("tmp")));
    const QString program = install + "/update";
    QVERIFY(QFile::copy(QStringLiteral(UPDATE_BINARY), program));
    const QByteArray script = "#!/bin/sh\necho started > \"$VX_TEST_MARKER\"\n";
    writeFile(install + "/vx3client_runscript.sh", script);
    QVERIFY(QFile::setPermissions(install + "/vx3client_runscript.sh", QFile::permissions(program)));
    writeFile(install + "/data/readme.txt", "version 1\n");
    QVERIFY(QDir().mkpath(dir.filePath("upd-new")));
    if (newUpdater.isEmpty())
        QVERIFY(QFile::copy(program, dir.filePath("upd-new/update")));
    else
        writeFile(dir.filePath("upd-new/update"), newUpdater);
    // Left by an updater that died: nobody holds it any more.
    writeFile(dir.filePath("tmp/voxaro_temp_9/update"), "x");
    makeOld(dir.filePath("tmp/voxaro_temp_9"));
    writeFile(dir.filePath("old/data/readme.txt"), "version 1\n");
    writeFile(dir.filePath("new/data/readme.txt"), "version 2\n");
    writeFile(dir.filePath("new/data/added.txt"), "new in version 2\n");
    writeFile(dir.filePath("new/vx3client_runscript.sh"), script);

    HttpTestServer http;
    QVERIFY(http.listen());
    const QString out = dir.filePath("server");
    QStringList products{"update_linux_amd64"};
    if (clientPublished)
        products << "client_linux_amd64";
    for (const QString& product : products) {
        const bool client = product.startsWith("client");
        QStringList args{"release", "--product", product, "--version", "2"};
        args << "--key" << QStringLiteral(TEST_PRIVATE_KEY) << "--out" << out << "--pack=none";
        args << "--new" << dir.filePath(client ? "new" : "upd-new");
        if (client)
            args << "--old" << dir.filePath("old");
        QProcess tool;
        tool.start(QStringLiteral(VXPUBLISH_BINARY), args);
        QVERIFY(tool.waitForFinished(kDeadlineMs));
        QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    }
    QDirIterator it(out, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        http.setFile("/client/" + QDir(out).relativeFilePath(path), readFile(path));
    }

    // No display at all: the updater must not need one.
    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("TMPDIR", dir.filePath("tmp"));
    env.insert("VX3_UPDATE_BASE_URL", http.url("/client/"));
    env.insert("VX3_UPDATE_DIAGNOSTICS", dir.filePath("diagnostics.txt"));
    env.insert("VX_TEST_MARKER", dir.filePath("client-started"));
    env.insert("LC_ALL", "C"); // the log's English texts
    if (!newUpdater.isEmpty())
        env.insert("VX3_UNATTENDED_CONFIRM_MS", "2000");
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess update;
    update.setProcessEnvironment(env);
    QSignalSpy ended(&update, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    update.start(program, {"client_linux_amd64", "2", "--unattended"});
    QVERIFY(update.waitForStarted());
    // The test's server answers from this event loop, so wait in it.
    QVERIFY(ended.wait(3 * kDeadlineMs));

    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(update.exitStatus() == QProcess::NormalExit && update.exitCode() == status,
             qPrintable(QString("exit code %1\n%2").arg(update.exitCode()).arg(diagnostics)));
    QCOMPARE(update.readAllStandardError(), QByteArray());
    // The last word, time-stamped, in the file both steps share.
    const QRegularExpression lastLine(
        "^\\d{4}-\\d\\d-\\d\\dT[0-9:.]+ log: " + QRegularExpression::escape(lastWord) + "$",
        QRegularExpression::MultilineOption);
    QVERIFY2(lastLine.match(diagnostics).hasMatch(), qPrintable(diagnostics));
    QVERIFY(!QFileInfo::exists(dir.filePath("tmp/voxaro_temp_9")));
    if (status == 4) {
        // Its news argument is there, if empty, so that it ignores the option.
        QCOMPARE(readFile(dir.filePath("client-started.args")),
                 QByteArray("--clientupdate\nclient_linux_amd64\n2\n#\n\n--unattended\n"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath("client-started.released")), kDeadlineMs);
        return;
    }
    if (status == 0) {
        QCOMPARE(readFile(install + "/data/readme.txt"), QByteArray("version 2\n"));
        QCOMPARE(readFile(install + "/data/added.txt"), QByteArray("new in version 2\n"));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath("client-started")), kDeadlineMs);
        QCOMPARE(QDir(dir.filePath("tmp")).entryList({"voxaro_temp_*"}), QStringList());
    } else {
        QCOMPARE(readFile(install + "/data/readme.txt"), QByteArray("version 1\n"));
        for (const char* reason :
             {"log: vx3_client_linux_amd64.ini._lzma2_ returned 404",
              "log: Unable to download vx3_client_linux_amd64.ini._lzma2_", "log: Update cancelled"})
            QVERIFY2(diagnostics.contains(reason), reason);
        QVERIFY(!QFileInfo::exists(dir.filePath("client-started")));
    }
}

void TestUpdateProgram::unattendedRunRefusesUnrecoveredInstallation()
{
    QTemporaryDir dir;
    const QString program = installProgram(dir);
    QVERIFY(!program.isEmpty());
    writeFile(dir.filePath(".vx3update/journal"), "not a journal\nat all\n");
    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("VX3_UPDATE_DIAGNOSTICS", dir.filePath("diagnostics.txt"));
    env.insert("LC_ALL", "C");
    QProcess update;
    update.setProcessEnvironment(env);
    update.start(program, {"client_linux_amd64", "5", "--unattended"});

    // A box would wait for ever.
    QVERIFY(update.waitForFinished(kDeadlineMs));
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 3);
    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(diagnostics.contains("log: The update journal " + dir.filePath(".vx3update/journal")
                                  + " cannot be used"),
             qPrintable(diagnostics));
    QVERIFY(diagnostics.contains("log: The update was not started"));
    QCOMPARE(QDir(dir.path()).entryList({"voxaro_temp_*"}), QStringList());
    QCOMPARE(readFile(dir.filePath(".vx3update/journal")), QByteArray("not a journal\nat all\n"));
}

// Without a display and before anything else: a build is checked on the
// machine that makes it.
void TestUpdateProgram::keyFingerprintsNameTheEmbeddedKeys()
{
    QProcess update;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    update.setProcessEnvironment(env);
    update.start(QStringLiteral(UPDATE_BINARY), {"--key-fingerprints"});
    QVERIFY(update.waitForFinished(kDeadlineMs));
    QCOMPARE(update.exitCode(), 0);
    const auto id = [](const QByteArray& key) {
        return QCryptographicHash::hash(key, QCryptographicHash::Sha512).left(8).toHex();
    };
    const QByteArray rsa = readFile(QStringLiteral(TEST_KEY_DIR "/public.der"));
    const QByteArray ed25519 =
        QByteArray::fromHex(readFile(QStringLiteral(TEST_KEY_DIR "/ed25519-a.public")).mid(8, 64));
    QCOMPARE(update.readAllStandardOutput(),
             "rsa-1024 " + id(rsa) + " .sig test-only\ned25519 " + id(ed25519) + " .signatures test-only\n");
}

QTEST_GUILESS_MAIN(TestUpdateProgram)
#include "tst_updateprogram.moc"
