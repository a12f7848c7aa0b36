// The real `update` program, started as the client starts it: leftovers are
// removed at start, and a rejected command line shows its error box and ends
// with exit code 1 once the box is closed (under a real X server, Xvfb).
// Unattended, against a real HTTP server with a release made by the real
// publisher's tool: both steps run without a display or a box, the process
// ends with the status of the whole update, and the diagnostics file says why;
// a new updater that does not confirm an unattended run (an older build) is
// not waited for, one other than the signed list names is never started, and
// an installation whose interrupted update could not be undone gets no
// session at all.
#include "support/httptestserver.h"
#include "support/releasesession.h"
#include "support/testfiles.h"
#include "support/testkey.h"
#include "support/udpresponder.h"

#include <QLocalServer>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

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

// Publishes version 2 of each product with the real publisher's tool and
// serves it below /client/: the updater from dir/upd-new unpacked (packing
// the program takes long), the client from dir/new packed as `pack` says,
// with patches (--patch always) against dir/old.
void publishAndServe(HttpTestServer* http, const QString& dir, const QStringList& products,
                     const QString& pack)
{
    const QString out = dir + "/server";
    for (const QString& product : products) {
        if (product.startsWith("client"))
            publishRelease(product, dir + "/new", dir + "/old", out, {"--pack=" + pack, "--patch=always"});
        else
            publishRelease(product, dir + "/upd-new", QString(), out, {"--pack=none"});
    }
    serveTree(http, "/client/", out);
}

// Version 1 installed in dir/install: the real program and a run script that
// marks its start; the same program as the new updater in dir/upd-new.
QString installVersionOne(const QString& dir)
{
    const QString install = dir + "/install";
    QDir().mkpath(install);
    QDir().mkpath(dir + "/tmp");
    QDir().mkpath(dir + "/upd-new");
    const QString program = install + "/update";
    if (!QFile::copy(QStringLiteral(UPDATE_BINARY), program)
        || !QFile::copy(QStringLiteral(UPDATE_BINARY), dir + "/upd-new/update"))
        return QString();
    const QByteArray script = "#!/bin/sh\necho started > \"$VX_TEST_MARKER\"\n";
    for (const QString& tree : {QString("/install/"), QString("/old/"), QString("/new/")})
        writeFile(dir + tree + "vx3client_runscript.sh", script);
    QFile::setPermissions(install + "/vx3client_runscript.sh", QFile::permissions(program));
    return program;
}

// What an unattended run needs: no display, its own diagnostics file, the
// test's server, English log lines.
QProcessEnvironment unattendedEnvironment(const QTemporaryDir& dir, const HttpTestServer& http)
{
    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("TMPDIR", dir.filePath("tmp"));
    env.insert("VX3_UPDATE_BASE_URL", http.url("/client/"));
    env.insert("VX3_UPDATE_DIAGNOSTICS", dir.filePath("diagnostics.txt"));
    env.insert("VX_TEST_MARKER", dir.filePath("client-started"));
    env.insert("LC_ALL", "C");
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        env.remove(name);
    return env;
}

// Runs `command` (the program, or a shell wrapping it) to its end in this
// event loop, where the test's server answers; its exit code, or -1.
int runToEnd(const QStringList& command, const QProcessEnvironment& env, QByteArray* standardError = nullptr)
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess update;
    update.setProcessEnvironment(env);
    QSignalSpy ended(&update, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    update.start(command.first(), command.mid(1));
    if (!update.waitForStarted() || !ended.wait(6 * kDeadlineMs))
        return -1;
    if (standardError)
        *standardError = update.readAllStandardError();
    return update.exitStatus() == QProcess::NormalExit ? update.exitCode() : -1;
}

QByteArray randomBytes(int size)
{
    QByteArray data(size, '\0');
    for (char& byte : data)
        byte = char(QRandomGenerator::global()->bounded(256));
    return data;
}

// The name under which an updater at `program` listened in older builds:
// in the shared temporary directory.
QString legacyGuardName(const QString& program)
{
    QString key = program.toLower() + QDir::homePath();
    key.remove('/');
    key.remove(':');
    const QByteArray bytes = key.toUtf8();
    return "VX3ClientUpdate" + QString::number(qChecksum(bytes.constData(), uint(bytes.size())), 16);
}

// The last lines of the window's log in a diagnostics file.
QString logLines(const QString& diagnostics)
{
    const QStringList lines = diagnostics.split('\n').filter(" log: ");
    return lines.mid(qMax(0, lines.size() - 8)).join('\n');
}

// The time stamp of the first diagnostics line holding `text`.
QDateTime stampOf(const QString& diagnostics, const QString& text)
{
    const QStringList lines = diagnostics.split('\n').filter(text);
    return lines.isEmpty() ? QDateTime()
                           : QDateTime::fromString(lines.first().section(' ', 0, 0), Qt::ISODateWithMs);
}

unsigned modeOf(const QString& path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? (status.st_mode & 07777) : 0;
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
    void installedFilesKeepTheirModes();
    void hostileSurroundingsDoNotStopAnUpdate_data();
    void hostileSurroundingsDoNotStopAnUpdate();
    void refusedEarlyWithItsReason_data();
    void refusedEarlyWithItsReason();
    void windowLoadsNothingAndStartsAfterTwoSeconds();
    void tamperedUpdaterIsNotStarted_data();
    void tamperedUpdaterIsNotStarted();
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
    const QString program = installVersionOne(dir.path());
    QVERIFY(!program.isEmpty());
    if (!newUpdater.isEmpty()) {
        QFile::remove(dir.filePath("upd-new/update"));
        writeFile(dir.filePath("upd-new/update"), newUpdater);
    }
    writeFile(install + "/data/readme.txt", "version 1\n");
    // Left by an updater that died: nobody holds it any more.
    writeFile(dir.filePath("tmp/voxaro_temp_9/update"), "x");
    makeOld(dir.filePath("tmp/voxaro_temp_9"));
    writeFile(dir.filePath("old/data/readme.txt"), "version 1\n");
    writeFile(dir.filePath("new/data/readme.txt"), "version 2\n");
    writeFile(dir.filePath("new/data/added.txt"), "new in version 2\n");

    HttpTestServer http;
    QVERIFY(http.listen());
    QStringList products{"update_linux_amd64"};
    if (clientPublished)
        products << "client_linux_amd64";
    publishAndServe(&http, dir.path(), products, "none");
    if (QTest::currentTestFailed())
        return;

    QProcessEnvironment env = unattendedEnvironment(dir, http);
    if (!newUpdater.isEmpty())
        env.insert("VX3_UNATTENDED_CONFIRM_MS", "2000");
    QByteArray standardError;
    const int exitCode = runToEnd({program, "client_linux_amd64", "2", "--unattended"}, env, &standardError);

    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(exitCode == status, qPrintable(QString("exit code %1\n%2").arg(exitCode).arg(diagnostics)));
    QCOMPARE(standardError, QByteArray());
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
    const QByteArray timestamp =
        QByteArray::fromHex(readFile(QStringLiteral(TEST_KEY_DIR "/timestamp.public")).mid(8, 64));
    QCOMPARE(update.readAllStandardOutput(), "rsa-1024 " + id(rsa) + " .sig test-only\ned25519 " + id(ed25519)
                                                 + " .signatures test-only\ned25519 " + id(timestamp)
                                                 + " timestamp test-only\n");
}

void TestUpdateProgram::installedFilesKeepTheirModes()
{
    struct Case
    {
        const char* name;
        unsigned before; // 0: new in version 2
        bool patched;    // else copied or unpacked, as the publisher packs it
        QByteArray v2;
        unsigned after;
    };
    const QByteArray script = "#!/bin/sh\n";
    const QByteArray elf("\x7f\x45LF"); // 0x7f, "ELF"
    const QList<Case> cases{
        {"bin/vx3helper", 0755, true, script + sampleText("helper 2 ", 400), 0755},
        {"data/private.dat", 0600, true, sampleText("private 2 ", 400), 0600},
        {"data/shared.txt", 0664, true, sampleText("shared 2 ", 400), 0644},
        {"lib/libsample.so.5", 0640, true, sampleText("library 2 ", 400), 0750},
        {"data/notes.txt", 0640, false, sampleText("notes 2 ", 400), 0640},
        {"bin/tool", 0700, false, script + sampleText("tool 2 ", 400), 0700},
        {"data/blob.bin", 0604, false, randomBytes(30000), 0604},
        {"bin/native", 0777, false, elf + randomBytes(30000), 0755},
        {"data/fresh.txt", 0, false, sampleText("fresh ", 400), 0644},
        {"bin/fresh-tool", 0, false, script + sampleText("fresh tool ", 400), 0755},
        {"bin/fresh-native", 0, false, elf + randomBytes(30000), 0755},
    };
    QTemporaryDir dir;
    const QString install = dir.filePath("install");
    const QString program = installVersionOne(dir.path());
    QVERIFY(!program.isEmpty());
    for (const Case& c : cases) {
        writeFile(dir.filePath("new/") + c.name, c.v2);
        if (c.before == 0)
            continue;
        const QByteArray v1 = c.v2.left(c.v2.size() / 2) + "version 1\n" + c.v2.mid(c.v2.size() / 2);
        writeFile(install + "/" + c.name, v1);
        QCOMPARE(::chmod(QFile::encodeName(install + "/" + c.name).constData(), c.before), 0);
        if (c.patched)
            writeFile(dir.filePath("old/") + c.name, v1);
    }
    // Left by an older updater: writable by everyone, and unchanged by the
    // release, so only the tightening after recovery touches them.
    for (const QString& path : QStringList{program, install + "/vx3client_runscript.sh"})
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0777), 0);

    HttpTestServer http;
    QVERIFY(http.listen());
    publishAndServe(&http, dir.path(), {"update_linux_amd64", "client_linux_amd64"}, "auto");
    if (QTest::currentTestFailed())
        return;
    ::umask(022);
    const int status =
        runToEnd({program, "client_linux_amd64", "2", "--unattended"}, unattendedEnvironment(dir, http));
    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(status == 0, qPrintable(logLines(diagnostics)));

    for (const Case& c : cases) {
        QCOMPARE(readFile(install + "/" + c.name), c.v2);
        QVERIFY2(diagnostics.contains(QString("log: Patching ") + c.name) == c.patched, c.name);
        QVERIFY2(modeOf(install + "/" + c.name) == c.after,
                 qPrintable(QString("%1: %2").arg(c.name).arg(modeOf(install + "/" + c.name), 0, 8)));
    }
    QCOMPARE(modeOf(install + "/vx3client_runscript.sh"), 0755u);
    QCOMPARE(modeOf(program), 0755u);
    QVERIFY(diagnostics.contains("log: Removed write permission for other users from " + install
                                 + "/vx3client_runscript.sh"));
}

void TestUpdateProgram::hostileSurroundingsDoNotStopAnUpdate_data()
{
    QTest::addColumn<bool>("planted");
    QTest::addColumn<bool>("noexecTemp");
    // Another user's listening sockets under the guard's name, in the
    // temporary directory and in a runtime directory anyone may write, and
    // every session name an older build would try.
    QTest::newRow("planted guard sockets and session names") << true << false;
    // A hardened machine: no program runs from the temporary directory.
    QTest::newRow("temporary directory mounted noexec") << false << true;
}

void TestUpdateProgram::hostileSurroundingsDoNotStopAnUpdate()
{
    QFETCH(bool, planted);
    QFETCH(bool, noexecTemp);
    QTemporaryDir dir;
    const QString install = dir.filePath("install");
    const QString program = installVersionOne(dir.path());
    QVERIFY(!program.isEmpty());
    writeFile(install + "/data/readme.txt", "version 1\n");
    writeFile(dir.filePath("old/data/readme.txt"), "version 1\n");
    writeFile(dir.filePath("new/data/readme.txt"), "version 2\n");
    HttpTestServer http;
    QVERIFY(http.listen());
    publishAndServe(&http, dir.path(), {"update_linux_amd64", "client_linux_amd64"}, "auto");
    if (QTest::currentTestFailed())
        return;
    QProcessEnvironment env = unattendedEnvironment(dir, http);
    QStringList command{program, "client_linux_amd64", "2", "--unattended"};

    QLocalServer squatters[2];
    if (planted) {
        QVERIFY(QDir().mkpath(dir.filePath("shared")));
        QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFileDevice::Permissions(0x7777)));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("shared"));
        QVERIFY(squatters[0].listen(dir.filePath("tmp/") + legacyGuardName(program)));
        QVERIFY(squatters[1].listen(dir.filePath("shared/") + legacyGuardName(program)));
        for (int i = 0; i < 1000; ++i)
            writeFile(dir.filePath("tmp/voxaro_temp_%1").arg(i), "planted");
    }
    if (noexecTemp) {
        if (QProcess::execute("unshare", {"-rm", "true"}) != 0)
            QSKIP("no mount namespaces here");
        command =
            QStringList{
                "unshare", "-rm", "sh", "-c", "mount -t tmpfs -o noexec tmpfs \"$TMPDIR\" && exec \"$@\"",
                "sh"}
            + command;
    }
    const int status = runToEnd(command, env);
    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(status == 0, qPrintable(logLines(diagnostics)));
    QCOMPARE(readFile(install + "/data/readme.txt"), QByteArray("version 2\n"));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath("client-started")), kDeadlineMs);
    // The session directory went, wherever it was made.
    QCOMPARE(QDir(dir.filePath("config")).entryList({"voxaro_temp_*"}), QStringList());
}

void TestUpdateProgram::refusedEarlyWithItsReason_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("reason"); // a pattern; %1: the installation
    QTest::newRow("installation this user cannot write")
        << "unwritable"
        << "The installation in '%1' cannot be updated by this user: Permission denied";
    QTest::newRow("directory inside it this user cannot write")
        << "unwritable lib"
        << "The installation in '%1/lib' cannot be updated by this user: Permission denied";
    QTest::newRow("file system too small")
        << "small"
        << "Not enough free space for the update in '%1': it needs 4\\.[0-9] MiB, [0-9.,]+ [KM]iB are free";
    QTest::newRow("signature that stays bad") << "bad signature"
                                              << "Could not verify the product ini file: its signature does "
                                                 "not match \\(7 attempts in [0-9]+ s\\)\\. "
                                                 "Aborting";
}

void TestUpdateProgram::refusedEarlyWithItsReason()
{
    QFETCH(QString, situation);
    QFETCH(QString, reason);
#ifndef VX_TEST_HOOKS
    if (situation == "bad signature")
        QSKIP("needs a test build (-DVX_TEST_HOOKS=ON) for short waits between attempts");
#endif
    QTemporaryDir dir;
    const QString install = dir.filePath("install");
    const QString program = installVersionOne(dir.path());
    QVERIFY(!program.isEmpty());
    writeFile(install + "/lib/libsample.so.5", "version 1\n");
    writeFile(dir.filePath("old/lib/libsample.so.5"), "version 1\n");
    writeFile(dir.filePath("new/lib/libsample.so.5"), "version 2\n");
    writeFile(dir.filePath("new/data/big.bin"), randomBytes(4 << 20));
    HttpTestServer http;
    QVERIFY(http.listen());
    publishAndServe(&http, dir.path(), {"update_linux_amd64", "client_linux_amd64"}, "auto");
    if (QTest::currentTestFailed())
        return;
    const QMap<QString, QByteArray> versionOne = fileTree(install);
    QProcessEnvironment env = unattendedEnvironment(dir, http);
    QStringList command{program, "client_linux_amd64", "2", "--unattended"};
    // Without the privileges of root, which may write anywhere.
    const QStringList withoutPrivileges{"unshare", "-U"};
    QString installSeen = install;
    if (situation.startsWith("unwritable")) {
        // Root writes anywhere: it runs the updater as an unprivileged user of
        // a user namespace, which a chroot does not allow.
        if (::geteuid() == 0) {
            if (QProcess::execute("unshare", {"-U", "true"}) != 0)
                QSKIP("root here, and no user namespaces to run without its privileges");
            command = withoutPrivileges + command;
        }
        const QString locked = situation == "unwritable" ? install : install + "/lib";
        QCOMPARE(::chmod(QFile::encodeName(locked).constData(), 0555), 0);
    } else if (situation == "small") {
        if (QProcess::execute("unshare", {"-rm", "true"}) != 0)
            QSKIP("no mount namespaces here");
        // The installation on a file system with 1 MiB to spare; what it
        // holds afterwards is copied out before the namespace goes.
        const qint64 used = QFileInfo(program).size() + (1 << 20);
        env.insert("VX_SIZE", QString::number(used));
        env.insert("VX_INSTALL", install);
        env.insert("VX_AFTER", dir.filePath("after"));
        QVERIFY(QDir().mkpath(dir.filePath("after")));
        command = QStringList{"unshare",
                              "-rm",
                              "sh",
                              "-c",
                              "cp -a \"$VX_INSTALL\" \"$VX_INSTALL.1\" && "
                              "mount -t tmpfs -o size=$VX_SIZE tmpfs \"$VX_INSTALL\" && "
                              "cp -a \"$VX_INSTALL.1/.\" \"$VX_INSTALL/\" && "
                              "{ \"$@\"; s=$?; cp -a \"$VX_INSTALL/.\" \"$VX_AFTER/\"; exit $s; }",
                              "sh"}
                  + command;
        installSeen = dir.filePath("after");
    } else {
        http.setDefault("/client/2/update_linux_amd64.ini.sig", HttpTestServer::Response::wrongBytes());
        env.insert("VX3_TEST_INI_RETRY_MS", "1");
    }
    const int status = runToEnd(command, env);
    QCOMPARE(::chmod(QFile::encodeName(install).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(install + "/lib").constData(), 0755), 0);

    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(status == 3, qPrintable(logLines(diagnostics)));
    const QRegularExpression line("log: " + QString(reason).replace("%1", QRegularExpression::escape(install))
                                      + "$",
                                  QRegularExpression::MultilineOption);
    QVERIFY2(line.match(diagnostics).hasMatch(), qPrintable(logLines(diagnostics)));
    // Only the session record (of the first step, which may be continued)
    // is new.
    QMap<QString, QByteArray> after = fileTree(installSeen);
    after.remove("update.ini");
    QCOMPARE(after, versionOne);
    QCOMPARE(http.requestCount("/client/2/client_linux_amd64/data/big.bin"), 0);
    QCOMPARE(http.requestCount("/client/2/client_linux_amd64/data/big.bin._lzma2_"), 0);
}

// The label and the news name a FIFO that nobody writes: reading it would
// block the window before its session starts. The session starts two seconds
// after the program, once the window is shown.
void TestUpdateProgram::windowLoadsNothingAndStartsAfterTwoSeconds()
{
    QTemporaryDir dir;
    const QString program = installProgram(dir);
    QVERIFY(!program.isEmpty());
    const QByteArray fifo = dir.filePath("fifo").toUtf8();
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const QByteArray image = "<img src=\"" + fifo + "\"><img src=\"file://" + fifo + "\">";
    UdpResponder server(UdpService::Version, {"5#" + image, "<b>News</b>" + image});
    QVERIFY(server.isListening());

    QProcessEnvironment env = cleanEnvironment(dir);
    env.insert("VX3_UPDATE_SERVER_PORT", QString::number(server.port()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("VX3_UPDATE_DIAGNOSTICS", dir.filePath("diagnostics.txt"));
    env.insert("VX3_UPDATE_BASE_URL", "http://127.0.0.1:1/");
    env.insert("LC_ALL", "C");
    QProcess update;
    update.setProcessEnvironment(env);
    update.start(program, QStringList());
    QVERIFY(update.waitForStarted());
    QTRY_VERIFY2_WITH_TIMEOUT(
        readFile(dir.filePath("diagnostics.txt")).contains("log: Starting update process"),
        readFile(dir.filePath("diagnostics.txt")).constData(), kDeadlineMs);
    update.kill();
    update.waitForFinished();
    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    const qint64 delay = stampOf(diagnostics, "debug: Voxaro updater started")
                             .msecsTo(stampOf(diagnostics, "debug: onStartUpdate"));
    // Qt runs a timer of two seconds as a coarse one, which may fire up to
    // 5 percent early.
    QVERIFY2(delay >= 1900 && delay < 10000, qPrintable(QString::number(delay)));
}

void TestUpdateProgram::tamperedUpdaterIsNotStarted_data()
{
    // The signed list's line for the new updater; @SERVED@ stands for the
    // SHA-512 and size of the served file, @GENUINE@ for the genuine updater's.
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("reason");
    QTest::newRow("download other than listed") << "update=@GENUINE@"
                                                << "Unable to download update_linux_amd64/update";
    QTest::newRow("container yields another updater")
        << "update._lzma2_=@SERVED@::@GENUINE@::update"
        << "The new updater file update does not match the checksum in the signed update list; "
           "the new updater is not started";
}

// Step one is served a new updater other than the one its signed list names:
// its check fails, no new updater starts and the installation stays as it was.
void TestUpdateProgram::tamperedUpdaterIsNotStarted()
{
    QFETCH(QString, line);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString program = installVersionOne(dir.path());
    QVERIFY(!program.isEmpty());
    const QMap<QString, QByteArray> versionOne = fileTree(dir.filePath("install"));
    // Of equal length, so that only the checksum tells them apart.
    const QByteArray genuine = "#!/bin/sh\necho genuine > \"$VX_TEST_MARKER.new\"\n";
    const QByteArray forged = "#!/bin/sh\necho spoofed > \"$VX_TEST_MARKER.new\"\n";
    const bool packed = line.startsWith("update._lzma2_");
    const QByteArray served = packed ? lzmaContainer(forged) : forged;
    HttpTestServer http;
    QVERIFY(http.listen());
    http.setFile(packed ? "/client/2/update_linux_amd64/update._lzma2_"
                        : "/client/2/update_linux_amd64/update",
                 served);
    const auto fields = [](const QByteArray& data) -> QString {
        return sha512(data) + "::" + QString::number(data.size());
    };
    const QString listed = line.replace("@SERVED@", fields(served)).replace("@GENUINE@", fields(genuine));
    serveSignedIni(&http, "/client/2/", "update_linux_amd64.ini",
                   "version=2\nproduct=update_linux_amd64\n[update_linux_amd64]\n" + listed.toUtf8() + "\n");
    if (QTest::currentTestFailed())
        return;
    QProcessEnvironment env = unattendedEnvironment(dir, http);
    env.insert("VX3_UNATTENDED_CONFIRM_MS", "2000");

    const int status = runToEnd({program, "client_linux_amd64", "2", "--unattended"}, env);
    const QString diagnostics = QString::fromUtf8(readFile(dir.filePath("diagnostics.txt")));
    QVERIFY2(status == 3, qPrintable(QString("exit status %1\n%2").arg(status).arg(logLines(diagnostics))));
    const QRegularExpression reasonLine("log: " + reason + "$", QRegularExpression::MultilineOption);
    QVERIFY2(reasonLine.match(diagnostics).hasMatch(), qPrintable(logLines(diagnostics)));
    QVERIFY(!QFileInfo::exists(dir.filePath("client-started.new")));
    QVERIFY(!QFileInfo::exists(dir.filePath("client-started")));
    // Only the session record of the first step, which may be continued, is new.
    QMap<QString, QByteArray> after = fileTree(dir.filePath("install"));
    after.remove("update.ini");
    QCOMPARE(after, versionOne);
}

QTEST_GUILESS_MAIN(TestUpdateProgram)
#include "tst_updateprogram.moc"
