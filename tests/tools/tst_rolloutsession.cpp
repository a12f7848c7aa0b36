// A staged rollout seen by the real `update` program: vxserver serves the
// releases over HTTP and answers the version query with a rollout of version
// 2 to a share of the clients. At 100 % the installation (version 1) is
// updated to version 2 in both steps; at 0 % (the halt) it is told version 1
// and stays as it is. With every list signed by `vxpublish versions` (each at
// its own time) the updater verifies the one its cohort is served and pins
// that list's time; once pinned, a list whose signature was altered is
// refused and nothing is installed.

#include "support/testfiles.h"
#include "support/udpresponder.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {

const int kDeadlineMs = 60000;

void runVxpublish(const QStringList& args)
{
    QProcess tool;
    tool.start(QStringLiteral(VXPUBLISH_BINARY), args);
    QVERIFY(tool.waitForFinished(kDeadlineMs));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
}

void publish(const QString& product, int version, const QString& tree, const QString& out)
{
    runVxpublish({"release", "--product", product, "--version", QString::number(version), "--key",
                  QStringLiteral(TEST_PRIVATE_KEY), "--new", tree, "--out", out, "--pack=none"});
}

// `channels` as the one-line file vxpublish signs with the timestamp key.
void writeSignedList(const QString& path, const QString& channels, qint64 signedAt)
{
    runVxpublish({"versions", "--key", QStringLiteral(TEST_TIMESTAMP_KEY), "--expires", "1d", "--versions",
                  channels, "--signed-at", QString::number(signedAt), "--out", path});
}

// The trust record's line of a pinned answer time.
QByteArray pinOf(qint64 signedAt)
{
    return "answer-time\t" + QByteArray::number(signedAt) + "\n";
}

enum class Answer { Unsigned, Signed, AlteredOncePinned };

// The staged list is signed a minute after the base list, so the pin tells
// which of them the session was served.
const qint64 kStagedLaterS = 60;

// An installation of version 1 in "install", and versions 1 and 2 of both
// products published into "root".
void installAndPublish(const QTemporaryDir& dir)
{
    const QString install = dir.filePath("install");
    const QByteArray script = "#!/bin/sh\necho started > \"$VX_TEST_MARKER\"\n";
    for (const QString& tree : {install, dir.filePath("v1"), dir.filePath("v2")}) {
        writeFile(tree + "/vx3client_runscript.sh", script);
        QVERIFY(QFile::setPermissions(tree + "/vx3client_runscript.sh", QFile::permissions(UPDATE_BINARY)));
    }
    QVERIFY(QFile::copy(QStringLiteral(UPDATE_BINARY), install + "/update"));
    QVERIFY(QDir().mkpath(dir.filePath("updater")));
    QVERIFY(QFile::copy(QStringLiteral(UPDATE_BINARY), dir.filePath("updater/update")));
    writeFile(install + "/data/readme.txt", "version 1\n");
    writeFile(dir.filePath("v1/data/readme.txt"), "version 1\n");
    writeFile(dir.filePath("v2/data/readme.txt"), "version 2\n");
    for (int version : {1, 2}) {
        publish("update_linux_amd64", version, dir.filePath("updater"), dir.filePath("root"));
        publish("client_linux_amd64", version, dir.filePath("v%1").arg(version), dir.filePath("root"));
    }
}

// The base list ("versions") and the one staged to `share` of the senders
// ("versions-2"), signed or not; with AlteredOncePinned the staged list's
// signature is altered and the installation has pinned the base list.
void writeAnswers(const QTemporaryDir& dir, Answer answer, const QByteArray& share, qint64 baseSignedAt)
{
    if (answer == Answer::Unsigned) {
        writeFile(dir.filePath("versions"), "1#1.0,1#1.0\n");
        writeFile(dir.filePath("versions-2"), "2#2.0,1#1.0\n");
    } else {
        writeSignedList(dir.filePath("versions"), "1#1.0,1#1.0,", baseSignedAt);
        writeSignedList(dir.filePath("versions-2"), "2#2.0,1#1.0,", baseSignedAt + kStagedLaterS);
    }
    if (answer == Answer::AlteredOncePinned) {
        QByteArray list = readFile(dir.filePath("versions-2")).trimmed();
        list.back() = list.back() == '0' ? '1' : '0'; // still hex, so served
        writeFile(dir.filePath("versions-2"), list + "\n");
        writeFile(dir.filePath("install/.vx3trust"), "VXTRUST\t1\n" + pinOf(baseSignedAt));
    }
    writeFile(dir.filePath("rollout"), share + " versions-2\n");
}

// One unattended session of the installed updater against vxserver serving
// "root" and the rollout; the server stops cleanly afterwards.
void runUpdate(QProcess& update, const QTemporaryDir& dir)
{
    QProcess server;
    server.start(QStringLiteral(VXSERVER_BINARY),
                 {"--root", dir.filePath("root"), "--http-port", "0", "--udp-port", "0", "--versions-file",
                  dir.filePath("versions"), "--rollout", dir.filePath("rollout"), "--cohort-key",
                  dir.filePath("key")});
    QVERIFY(server.waitForReadyRead(kDeadlineMs));
    const QString started = QString::fromUtf8(server.readLine());
    const QString http = QRegularExpression("http (\\d+)").match(started).captured(1);
    const QString udp = QRegularExpression("versions udp (\\d+)").match(started).captured(1);
    QVERIFY2(!http.isEmpty() && !udp.isEmpty(), qPrintable(started));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("VX3_CONFIG_DIR", dir.filePath("config"));
    env.insert("TMPDIR", dir.path());
    env.insert("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    env.insert("VX3_UPDATE_SERVER_PORT", udp);
    env.insert("VX3_BANNER_SERVER_PORT", QString::number(freeUdpPort()));
    env.insert("VX3_UPDATE_BASE_URL", QStringLiteral("http://127.0.0.1:%1/").arg(http));
    env.insert("VX3_UPDATE_DIAGNOSTICS", dir.filePath("diagnostics.txt"));
    env.insert("VX_TEST_MARKER", dir.filePath("client-started"));
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(name);
    update.setProcessEnvironment(env);
    update.start(dir.filePath("install/update"), {"--unattended"});
    QVERIFY(update.waitForFinished(kDeadlineMs));
    server.terminate();
    QVERIFY(server.waitForFinished(kDeadlineMs));
}

} // namespace

class TestRolloutSession final : public QObject
{
    Q_OBJECT

private slots:
    void rolloutDecidesWhatIsInstalled_data();
    void rolloutDecidesWhatIsInstalled();
};

void TestRolloutSession::rolloutDecidesWhatIsInstalled_data()
{
    QTest::addColumn<QByteArray>("share");
    QTest::addColumn<QByteArray>("installed");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("status");
    const int unsignedList = int(Answer::Unsigned);
    const int signedLists = int(Answer::Signed);
    QTest::newRow("100 %") << QByteArray("100") << QByteArray("version 2\n") << unsignedList << 0;
    QTest::newRow("0 %, halted") << QByteArray("0") << QByteArray("version 1\n") << unsignedList << 0;
    QTest::newRow("100 %, signed") << QByteArray("100") << QByteArray("version 2\n") << signedLists << 0;
    QTest::newRow("0 %, signed") << QByteArray("0") << QByteArray("version 1\n") << signedLists << 0;
    QTest::newRow("100 %, altered signature") // unverifiable: status 6
        << QByteArray("100") << QByteArray("version 1\n") << int(Answer::AlteredOncePinned) << 6;
}

void TestRolloutSession::rolloutDecidesWhatIsInstalled()
{
    QFETCH(QByteArray, share);
    QFETCH(QByteArray, installed);
    QFETCH(int, answer);
    QFETCH(int, status);
    QTemporaryDir dir;
    const qint64 baseSignedAt = QDateTime::currentSecsSinceEpoch() - 120;
    installAndPublish(dir);
    writeAnswers(dir, Answer(answer), share, baseSignedAt);
    QProcess update;
    runUpdate(update, dir);
    if (QTest::currentTestFailed())
        return;

    const QByteArray diagnostics = readFile(dir.filePath("diagnostics.txt"));
    QVERIFY2(update.exitStatus() == QProcess::NormalExit && update.exitCode() == status,
             diagnostics.constData());
    QCOMPARE(readFile(dir.filePath("install/data/readme.txt")), installed);
    const QByteArray trust = readFile(dir.filePath("install/.vx3trust"));
    if (answer == int(Answer::Signed)) {
        const QByteArray served = pinOf(share == "100" ? baseSignedAt + kStagedLaterS : baseSignedAt);
        QVERIFY2(trust.contains(served), trust.constData());
    } else if (answer == int(Answer::AlteredOncePinned)) {
        QVERIFY2(diagnostics.contains("The update service could not be verified: "), diagnostics.constData());
        QCOMPARE(trust, "VXTRUST\t1\n" + pinOf(baseSignedAt));
        return;
    } else {
        QVERIFY2(!trust.contains("answer-time"), trust.constData());
    }
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(dir.filePath("client-started")), kDeadlineMs);
}

QTEST_GUILESS_MAIN(TestRolloutSession)
#include "tst_rolloutsession.moc"
