// What an installation refuses to be taken back or held to: each attack
// against the real `update` program, run unattended through both steps, with
// releases made by the real publisher tool and served on 127.0.0.1 (HTTP
// and the UDP version answer). Versions 1 to 3 of the client differ in one
// data file; the updater of every version is this build's program.
#include "support/httptestserver.h"
#include "support/releasesession.h"
#include "support/testfiles.h"
#include "support/udpresponder.h"

#include <QtTest>

namespace {

const int kDeadlineMs = 120000;
const QByteArray kRunScript = "#!/bin/sh\necho started > \"$VX_TEST_MARKER\"\n";

// The trust record as the updater writes it: fields in byte order.
QByteArray trustFile(int floor, qint64 pin = 0, bool modern = false)
{
    QByteArray text = "VXTRUST\t1\n";
    if (pin)
        text += "answer-time\t" + QByteArray::number(pin) + "\n";
    if (floor)
        text += "floor\t" + QByteArray::number(floor) + "\n";
    if (modern)
        text += "modern-signature\t1\n";
    return text;
}

// The version list naming `version` on every channel, signed by `key` (a
// secret key file of the test keys) at `signedAt` for `lifetime` seconds
// with `vxpublish versions`; unsigned without a key.
QByteArray versionList(int version, const QString& key = QString(), qint64 signedAt = 0, qint64 lifetime = 0)
{
    const QByteArray entry = QByteArray::number(version) + "#" + QByteArray::number(version) + ".0";
    const QByteArray list = entry + "," + entry + "," + entry;
    if (key.isEmpty())
        return list;
    QTemporaryDir dir;
    const QString out = dir.filePath("versions");
    QProcess tool;
    tool.start(VXPUBLISH_BINARY, {"versions", "--key", QString(TEST_KEY_DIR "/") + key, "--expires",
                                  QString::number(lifetime), "--versions", QString::fromLatin1(list),
                                  "--signed-at", QString::number(signedAt), "--out", out});
    if (!tool.waitForFinished(kDeadlineMs) || tool.exitCode() != 0)
        qWarning() << tool.readAllStandardError();
    return readFile(out).trimmed();
}

// A published release dir whose two product inis lose their version and
// product binding, signed again: what a publisher's history of inis of the
// original format looks like.
void unbind(const QString& releaseDir)
{
    for (const char* name : {"update_linux_amd64.ini", "vx3_client_linux_amd64.ini"}) {
        const QString ini = releaseDir + "/" + name;
        QList<QByteArray> kept;
        for (const QByteArray& line : readFile(ini).split('\n')) {
            if (!line.startsWith("version=") && !line.startsWith("product="))
                kept << line;
        }
        writeFile(ini, kept.join('\n'));
        QVERIFY(QFile::remove(ini + "._lzma2_"));
        for (const QStringList& command : {QStringList{VXPATCH_BINARY, "pack", ini, ini + "._lzma2_"},
                                           QStringList{VXPUBLISH_BINARY, "sign", TEST_PRIVATE_KEY, ini}}) {
            QProcess tool;
            tool.start(command.first(), command.mid(1));
            QVERIFY(tool.waitForFinished(kDeadlineMs));
            QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
        }
    }
}

} // namespace

class TestTrust final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void versionFloor_data();
    void versionFloor();
    void signedAnswer_data();
    void signedAnswer();
    void modernSignaturePin_data();
    void modernSignaturePin();

private:
    // Publishes client and updater of `version` below `out`.
    // `modern`: signed with test key a, which this build trusts, too.
    void publish(const QString& out, int version, bool allowDowngrade, bool modern = false);
    // Serves the release directory `release` as version `asVersion`.
    void serve(const QString& release, int asVersion);
    // A fresh installation of client version `version`.
    void install(int version);
    // Runs the installed updater unattended with `versions` as the version
    // answer. Returns its exit status.
    int run(const QByteArray& versions);
    // run(), then checks the exit status and that the log has `logLine`.
    void runExpecting(const QByteArray& versions, int status, const QString& logLine);
    // The installation's files but update.ini, which holds the last session's
    // record, the updater's own bookkeeping.
    QMap<QString, QByteArray> installedWithoutSessionRecord() const;

    QTemporaryDir m_Dir;
    QString m_Out;
    QString m_Install;
    HttpTestServer m_Http;
    QString m_Diagnostics;
};

void TestTrust::initTestCase()
{
    QVERIFY(m_Http.listen());
    m_Out = m_Dir.filePath("published");
    writeFile(m_Dir.filePath("upd/update"), readFile(UPDATE_BINARY));
    QVERIFY(QFile::setPermissions(m_Dir.filePath("upd/update"), QFile::permissions(UPDATE_BINARY)));
    for (int version = 1; version <= 3; ++version)
        publish(m_Out, version, false);
}

void TestTrust::publish(const QString& out, int version, bool allowDowngrade, bool modern)
{
    const QString tree = m_Dir.filePath(QString("client%1-%2").arg(version).arg(allowDowngrade));
    writeFile(tree + "/data/readme.txt", "version " + QByteArray::number(version) + "\n");
    writeFile(tree + "/vx3client_runscript.sh", kRunScript);
    for (const QString product : {"update_linux_amd64", "client_linux_amd64"}) {
        QStringList args{"release", "--product",      product, "--version", QString::number(version),
                         "--key",   TEST_PRIVATE_KEY, "--out", out,         "--pack=none"};
        args << "--new" << (product.startsWith("client") ? tree : m_Dir.filePath("upd"));
        if (allowDowngrade)
            args << "--allow-downgrade";
        if (modern)
            args << "--ed25519-key" << TEST_KEY_DIR "/ed25519-a.secret";
        QProcess tool;
        tool.start(VXPUBLISH_BINARY, args);
        QVERIFY(tool.waitForFinished(kDeadlineMs));
        QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
    }
}

void TestTrust::serve(const QString& release, int asVersion)
{
    serveTree(&m_Http, QString("/client/%1/").arg(asVersion), release);
}

void TestTrust::install(int version)
{
    m_Install = m_Dir.filePath("install");
    QDir(m_Install).removeRecursively();
    QDir(m_Dir.filePath("tmp")).removeRecursively();
    QVERIFY(QDir().mkpath(m_Dir.filePath("tmp")));
    writeFile(m_Install + "/update", readFile(UPDATE_BINARY));
    QVERIFY(QFile::setPermissions(m_Install + "/update", QFile::permissions(UPDATE_BINARY)));
    writeFile(m_Install + "/vx3client_runscript.sh", kRunScript);
    QVERIFY(QFile::setPermissions(m_Install + "/vx3client_runscript.sh", QFile::permissions(UPDATE_BINARY)));
    writeFile(m_Install + "/data/readme.txt", "version " + QByteArray::number(version) + "\n");
}

int TestTrust::run(const QByteArray& versions)
{
    UdpResponder udp(UdpService::Version, {versions, QByteArray("news")});
    m_Diagnostics = m_Dir.filePath("diagnostics.txt");
    QFile::remove(m_Diagnostics);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VX3_CONFIG_DIR", m_Dir.filePath("config"));
    env.insert("TMPDIR", m_Dir.filePath("tmp"));
    env.insert("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    env.insert("VX3_UPDATE_SERVER_PORT", QString::number(udp.port()));
    env.insert("VX3_BANNER_SERVER_PORT", QString::number(freeUdpPort()));
    env.insert("VX3_UPDATE_BASE_URL", m_Http.url("/client/"));
    env.insert("VX3_UPDATE_DIAGNOSTICS", m_Diagnostics);
    env.insert("VX_TEST_MARKER", m_Dir.filePath("client-started"));
    env.insert("LC_ALL", "C");
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    qRegisterMetaType<QProcess::ExitStatus>();
    QProcess update;
    update.setProcessEnvironment(env);
    QSignalSpy ended(&update, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    update.start(m_Install + "/update", {"--unattended"});
    // The HTTP server answers from this thread's event loop.
    if (!update.waitForStarted() || !ended.wait(kDeadlineMs))
        return -1;
    return update.exitStatus() == QProcess::NormalExit ? update.exitCode() : -1;
}

void TestTrust::runExpecting(const QByteArray& versions, int status, const QString& logLine)
{
    const int exitStatus = run(versions);
    const QString diagnostics = QString::fromUtf8(readFile(m_Diagnostics));
    QVERIFY2(exitStatus == status, qPrintable(QString("status %1\n%2").arg(exitStatus).arg(diagnostics)));
    QVERIFY2(diagnostics.contains("log: " + logLine), qPrintable(diagnostics));
}

QMap<QString, QByteArray> TestTrust::installedWithoutSessionRecord() const
{
    QMap<QString, QByteArray> files = fileTree(m_Install);
    files.remove("update.ini");
    return files;
}

void TestTrust::versionFloor_data()
{
    QTest::addColumn<int>("installed");
    QTest::addColumn<int>("floor");      // 0: no trust record
    QTest::addColumn<int>("answer");     // the version the server names
    QTest::addColumn<QString>("served"); // what its directory holds
    QTest::addColumn<int>("alphaRevno"); // 0: none set in update.ini
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("after"); // installed version afterwards
    QTest::addColumn<int>("floorAfter");
    QTest::addColumn<QString>("logLine");

    const QString older = "Version 1 is older than the installed version 3; not installed";
    QTest::newRow("older signed release refused") << 3 << 3 << 1 << "1" << 0 << 3 << 3 << 3 << older;
    QTest::newRow("unbound ini refused once there is a floor")
        << 3 << 3 << 3 << "1 unbound" << 0 << 3 << 3 << 3
        << "The product ini of version 3 does not name its version and product; "
           "installed version 3 takes only product inis that do; not installed";
    QTest::newRow("unbound ini taken without a floor")
        << 1 << 0 << 3 << "3 unbound" << 0 << 0 << 3 << 0 << "Step two ended with exit status 0";
    QTest::newRow("first bound ini sets the floor")
        << 1 << 0 << 3 << "3" << 0 << 0 << 3 << 3 << "Step two ended with exit status 0";
    QTest::newRow("publisher allows going back") << 3 << 3 << 2 << "2 allowing" << 0 << 0 << 2 << 2
                                                 << "Going back to version 2, which its publisher allows";
    QTest::newRow("alpha revision set locally") << 3 << 3 << 0 << "1" << 1 << 0 << 1 << 1
                                                << "Going back to version 1, the revision set in update.ini";
}

void TestTrust::versionFloor()
{
    QFETCH(int, installed);
    QFETCH(int, floor);
    QFETCH(int, answer);
    QFETCH(QString, served);
    QFETCH(int, alphaRevno);
    QFETCH(int, status);
    QFETCH(int, after);
    QFETCH(int, floorAfter);
    QFETCH(QString, logLine);

    const QStringList what = served.split(' ');
    const QString published = what.first();
    QString release = m_Out + "/" + published;
    if (what.contains("allowing")) {
        publish(m_Out + "-allowing", published.toInt(), true);
        release = m_Out + "-allowing/" + published;
    } else if (what.contains("unbound")) {
        release = m_Dir.filePath("unbound/" + published);
        QDir(release).removeRecursively();
        QVERIFY(QDir().mkpath(m_Dir.filePath("unbound")));
        QCOMPARE(QProcess::execute("cp", {"-a", m_Out + "/" + published, release}), 0);
        unbind(release);
    }
    serve(release, alphaRevno ? alphaRevno : answer);

    install(installed);
    if (floor)
        writeFile(m_Install + "/.vx3trust", trustFile(floor));
    if (alphaRevno)
        writeFile(m_Install + "/update.ini", QString("[Channel]\nalpha=%1\nalphaRevno=%2\n")
                                                 .arg(m_Http.url("/client/"))
                                                 .arg(alphaRevno)
                                                 .toUtf8());
    const QMap<QString, QByteArray> before = fileTree(m_Install);

    runExpecting(versionList(answer), status, logLine);
    if (QTest::currentTestFailed())
        return;
    if (status != 0) {
        // Byte for byte (the trust record is checked below).
        QCOMPARE(installedWithoutSessionRecord(), before);
    }
    QCOMPARE(readFile(m_Install + "/data/readme.txt"), "version " + QByteArray::number(after) + "\n");
    if (floorAfter)
        QCOMPARE(readFile(m_Install + "/.vx3trust"), trustFile(floorAfter));
    else
        QVERIFY(!QFileInfo::exists(m_Install + "/.vx3trust"));
    if (status == 0 && floorAfter) // owner-only
        QCOMPARE(int(QFile::permissions(m_Install + "/.vx3trust") & 0x0077), 0);
}

void TestTrust::signedAnswer_data()
{
    QTest::addColumn<qint64>("pin");       // seconds before now; -1: none
    QTest::addColumn<QString>("key");      // the secret key signing the answer; empty: unsigned
    QTest::addColumn<qint64>("signedAgo"); // seconds before now
    QTest::addColumn<qint64>("lifetime");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("logLine");

    const qint64 day = 86400;
    const QString refused = "The update service could not be verified: ";
    QTest::newRow("unsigned answer once pinned")
        << qint64(100) << QString() << qint64(0) << qint64(0) << 6 << refused + "its answer is not signed";
    QTest::newRow("answer signed with another key")
        << qint64(100) << "ed25519-b.secret" << qint64(0) << 7 * day << 6
        << refused + "it is signed with an unknown key";
    QTest::newRow("expired answer") << 30 * day << "timestamp.secret" << 10 * day << 7 * day << 6
                                    << refused + "its answer expired at";
    QTest::newRow("replayed older answer") << qint64(0) << "timestamp.secret" << qint64(3600) << 7 * day << 6
                                           << refused + "its answer was signed at";
    QTest::newRow("first signed answer pins") << qint64(-1) << "timestamp.secret" << qint64(60) << 7 * day
                                              << 0 << "Step two ended with exit status 0";
    QTest::newRow("server of the original format, no pin")
        << qint64(-1) << QString() << qint64(0) << qint64(0) << 0 << "Step two ended with exit status 0";
}

// Version 2 installed, version 3 published and named by the answer.
void TestTrust::signedAnswer()
{
    QFETCH(qint64, pin);
    QFETCH(QString, key);
    QFETCH(qint64, signedAgo);
    QFETCH(qint64, lifetime);
    QFETCH(int, status);
    QFETCH(QString, logLine);

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    serve(m_Out + "/3", 3);
    install(2);
    const qint64 pinned = pin < 0 ? 0 : now - pin;
    writeFile(m_Install + "/.vx3trust", trustFile(2, pinned));
    const QMap<QString, QByteArray> before = fileTree(m_Install);

    runExpecting(versionList(3, key, now - signedAgo, lifetime), status, logLine);
    if (QTest::currentTestFailed())
        return;
    if (status != 0) {
        QCOMPARE(fileTree(m_Install), before); // nothing installed on its word
        QCOMPARE(readFile(m_Install + "/.vx3trust"), trustFile(2, pinned));
        return;
    }
    QCOMPARE(readFile(m_Install + "/data/readme.txt"), QByteArray("version 3\n"));
    QCOMPARE(readFile(m_Install + "/.vx3trust"), trustFile(3, key.isEmpty() ? 0 : now - signedAgo));
}

void TestTrust::modernSignaturePin_data()
{
    QTest::addColumn<bool>("pinned");
    QTest::addColumn<QString>("served"); // "modern": signed with a trusted key, too
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("pinnedAfter");
    QTest::addColumn<QString>("logLine");

    QTest::newRow("unpinned takes an ini with only .sig")
        << false << "rsa" << 0 << false
        << "The product ini has no Ed25519 signature; accepted, as releases made before modern signatures "
           "are";
    QTest::newRow("pinned refuses an ini with only .sig")
        << true << "rsa" << 3 << true
        << "Refused: the product ini is not signed with a current key (it has no Ed25519 signature); "
           "this installation requires it, since it installed a release that was";
    QTest::newRow("a modern signature pins at the commit")
        << false << "modern" << 0 << true << "Step two ended with exit status 0";
    QTest::newRow("no pin when step two fails")
        << false << "modern broken" << 3 << false << "Step two ended with exit status 3";
}

// Version 2 installed, version 3 published and named by the answer.
void TestTrust::modernSignaturePin()
{
    QFETCH(bool, pinned);
    QFETCH(QString, served);
    QFETCH(int, status);
    QFETCH(bool, pinnedAfter);
    QFETCH(QString, logLine);

    const QString out = m_Out + (served.startsWith("modern") ? "-modern" : "");
    if (served.startsWith("modern") && !QFileInfo::exists(out + "/3"))
        publish(out, 3, false, true);
    serve(out + "/3", 3);
    // A client file that does not match its checksum: step two fails after
    // its product ini was verified.
    if (served.endsWith("broken"))
        m_Http.setFile("/client/3/client_linux_amd64/data/readme.txt", "tampered\n");
    install(2);
    writeFile(m_Install + "/.vx3trust", trustFile(2, 0, pinned));
    const QMap<QString, QByteArray> before = fileTree(m_Install);

    runExpecting(versionList(3), status, logLine);
    if (QTest::currentTestFailed())
        return;
    if (status != 0) {
        // Byte for byte, the trust record too.
        QCOMPARE(installedWithoutSessionRecord(), before);
        return;
    }
    QCOMPARE(readFile(m_Install + "/data/readme.txt"), QByteArray("version 3\n"));
    QCOMPARE(readFile(m_Install + "/.vx3trust"), trustFile(3, 0, pinnedAfter));
}

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
