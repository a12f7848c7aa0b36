// Whole sessions: the real engine and main task against a real HTTP server on
// 127.0.0.1 serving a release that the real publisher tool made and signed
// with the test key. Step one builds the new updater in the temporary
// directory; step two brings an installation to the new version in place;
// a tampered download stops the session before anything is installed, and so
// does a download that stalls, through the engine's own progress tick. With
// nothing left to download the files are still installed, and a signed ini
// whose names climb out of the installation changes nothing outside it.
#include "support/httptestserver.h"
#include "support/releasesession.h"
#include "support/testfiles.h"
#include "support/testkey.h"
#include "updateinidata.h"

#include <QtTest>

class TestSession final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void stepTwoUpdatesInstallationInPlace();
    void stepOneBuildsNewUpdater();
    void tamperedDownloadInstallsNothing();
    void stalledDownloadEndsSessionThroughEngineTick();
    void cancelDuringInstallRestoresVersionOne();
    void nothingToDownloadStillInstalls();
    void namesClimbingOutWriteNothingOutside_data();
    void namesClimbingOutWriteNothingOutside();

private:
    // Publishes `product` version 2 from `newTree` with patches from `oldTree`,
    // and serves every published file.
    void publish(const QString& product, const QString& newTree, const QString& oldTree);
    // The record step one leaves for step two: its session directory.
    QString recordStepOne();

    QTemporaryDir m_Root;
    std::unique_ptr<HttpTestServer> m_Http;
    QString m_Published;
};

void TestSession::initTestCase()
{
    QVERIFY(m_Root.isValid());
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
}

void TestSession::init()
{
    QDir(m_Root.path()).removeRecursively();
    for (const char* dir : {"tmp", "config", "install", "old", "new", "server"})
        QVERIFY(QDir().mkpath(m_Root.filePath(dir)));
    qputenv("TMPDIR", QFile::encodeName(m_Root.filePath("tmp")));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Root.filePath("config")));
    m_Http = std::make_unique<HttpTestServer>();
    QVERIFY(m_Http->listen());
    qputenv("VX3_UPDATE_BASE_URL", m_Http->url("/updater-images/client/").toUtf8());
    QFile::remove(UpdateIniData::iniPath());

    // Version 1 as installed and version 2 as published: a changed program
    // library (patched), a changed and a new data file, and one file that goes.
    QFile library(QStringLiteral(SAMPLE_LIBRARY));
    QVERIFY(library.open(QIODevice::ReadOnly));
    const QByteArray v1 = library.readAll();
    QByteArray v2 = v1;
    for (int i = 4096; i + 64 < v2.size(); i += 65536)
        v2[i] = char(v2[i] ^ 0x5a);
    for (const QString& tree : {QStringLiteral("old"), QStringLiteral("install")}) {
        writeFile(m_Root.filePath(tree + "/lib/libsample.so.1"), v1);
        writeFile(m_Root.filePath(tree + "/data/readme.txt"), "version 1\n");
        writeFile(m_Root.filePath(tree + "/data/obsolete.txt"), "old\n");
        writeFile(m_Root.filePath(tree + "/data/unchanged.txt"), sampleText("same ", 300));
    }
    writeFile(m_Root.filePath("new/lib/libsample.so.1"), v2);
    writeFile(m_Root.filePath("new/data/readme.txt"), "version 2\n");
    writeFile(m_Root.filePath("new/data/unchanged.txt"), sampleText("same ", 300));
    writeFile(m_Root.filePath("new/data/extra/added.txt"), sampleText("added ", 2000));
    // Names next to the ones the updater reads as containers and patches.
    writeFile(m_Root.filePath("new/data/notes_patch"), "a plain file\n");
    writeFile(m_Root.filePath("new/data/kept._lzma2_"), "not a container\n");
}

void TestSession::cleanup()
{
    QFile::remove(UpdateIniData::iniPath());
    m_Http.reset();
}

void TestSession::publish(const QString& product, const QString& newTree, const QString& oldTree)
{
    const QString out = m_Root.filePath("server/updater-images/client");
    publishRelease(product, newTree, oldTree, out);
    serveTree(m_Http.get(), "/updater-images/client/", out);
}

QString TestSession::recordStepOne()
{
    const QString session = m_Root.filePath("tmp/voxaro_temp_0");
    QDir().mkpath(session);
    UpdateIniData::modify(2, session, m_Root.filePath("install"), "client_linux_amd64");
    return session;
}

void TestSession::stepTwoUpdatesInstallationInPlace()
{
    publish("client_linux_amd64", m_Root.filePath("new"), m_Root.filePath("old"));
    // Step one left its record: the session directory and the installation.
    const QString session = recordStepOne();

    const SessionResult s = runSession({"--clientupdate", "client_linux_amd64", "2", "2.0"});
    QVERIFY2(s.finished, qPrintable(s.messages.join('\n')));
    QVERIFY(s.errors.isEmpty());
    QVERIFY(s.messages.contains("Patching lib/libsample.so.1"));
    QVERIFY(s.messages.contains("Update successfully finished"));
    QVERIFY(risesToOne(s.progress));

    QCOMPARE(fileTree(m_Root.filePath("install")), fileTree(m_Root.filePath("new")));
    QVERIFY(!QFileInfo::exists(session));
    QVERIFY(!QFileInfo::exists(UpdateIniData::iniPath()));
    // The patch was fetched, not the whole library.
    QVERIFY(m_Http->requestCount("/updater-images/client/2/client_linux_amd64/lib/libsample.so.1._lzma2_") == 0);
}

void TestSession::stepOneBuildsNewUpdater()
{
    // The updater's product: its program and a translation that is new.
    writeFile(m_Root.filePath("upd-old/update"), sampleText("updater v1 ", 3000));
    writeFile(m_Root.filePath("upd-new/update"), sampleText("updater v2 ", 3000));
    writeFile(m_Root.filePath("upd-new/translations/update_de.qm"), "qm");
    writeFile(m_Root.filePath("upd-new/unchanged.txt"), "same");
    writeFile(m_Root.filePath("upd-old/unchanged.txt"), "same");
    publish("update_linux_amd64", m_Root.filePath("upd-new"), m_Root.filePath("upd-old"));

    // The running updater's own directory is the installation in step one.
    const QString programDir = QCoreApplication::applicationDirPath();
    writeFile(programDir + "/update", sampleText("updater v1 ", 3000));
    writeFile(programDir + "/unchanged.txt", "same");
    writeFile(UpdateIniData::iniPath(), "[update]\nstreams=2\n");

    const SessionResult s = runSession({"update_linux_amd64", "2"});
    QFile::remove(programDir + "/update");
    QFile::remove(programDir + "/unchanged.txt");
    QVERIFY(!s.finished || s.errors.isEmpty());
    QVERIFY2(s.finished, qPrintable(s.messages.join('\n')));

    const QStringList sessions = QDir(m_Root.filePath("tmp")).entryList({"voxaro_temp_*"});
    QCOMPARE(sessions.size(), 1);
    const QString session = m_Root.filePath("tmp/" + sessions.first());
    QCOMPARE(readFile(session + "/update"), sampleText("updater v2 ", 3000));
    QVERIFY(QFileInfo(session + "/update").isExecutable());
    QCOMPARE(readFile(session + "/translations/update_de.qm"), QByteArray("qm"));
    QCOMPARE(readFile(session + "/unchanged.txt"), QByteArray("same"));   // copied from the installation

    QSettings next(session + "/update.ini", QSettings::IniFormat);
    QCOMPARE(next.value("current/version").toInt(), 2);
    QCOMPARE(next.value("current/type").toString(), QStringLiteral("client_linux_amd64"));
    QCOMPARE(next.value("current/vx3dir").toString(), programDir);
    QCOMPARE(next.value("update/streams").toInt(), 2);
    QSettings own(UpdateIniData::iniPath(), QSettings::IniFormat);
    QVERIFY(!own.contains("current/version"));
    QCOMPARE(own.value("update/streams").toInt(), 2);
}

void TestSession::tamperedDownloadInstallsNothing()
{
    publish("client_linux_amd64", m_Root.filePath("new"), m_Root.filePath("old"));
    m_Http->setDefault("/updater-images/client/2/client_linux_amd64/data/extra/added.txt._lzma2_",
                       HttpTestServer::Response::wrongBytes());
    m_Http->setDefault("/updater-images/client/2/client_linux_amd64/data/extra/added.txt",
                       HttpTestServer::Response::wrongBytes());
    const QString session = recordStepOne();
    const QMap<QString, QByteArray> before = fileTree(m_Root.filePath("install"));

    const SessionResult s = runSession({"--clientupdate", "client_linux_amd64", "2"});
    QVERIFY(!s.finished);
    QVERIFY(std::any_of(s.messages.cbegin(), s.messages.cend(),
                        [](const QString& line) { return line.startsWith("Unable to download"); }));
    QVERIFY(!s.messages.contains("Starting file updates"));
    QCOMPARE(fileTree(m_Root.filePath("install")), before);
}

void TestSession::stalledDownloadEndsSessionThroughEngineTick()
{
    publish("client_linux_amd64", m_Root.filePath("new"), m_Root.filePath("old"));
    // Every attempt at the new file gets a few bytes, then silence.
    for (const char* name : {"added.txt._lzma2_", "added.txt"})
        m_Http->setDefault(QStringLiteral("/updater-images/client/2/client_linux_amd64/data/extra/") + name,
                           HttpTestServer::Response::stall(10));
    const QString session = recordStepOne();
    const QMap<QString, QByteArray> before = fileTree(m_Root.filePath("install"));

    // Sixteen silent ticks end an attempt; 20 ms ticks instead of seconds.
    const SessionResult s = runSession({"--clientupdate", "client_linux_amd64", "2"}, 20);
    QVERIFY(!s.finished);
    const auto stalled = [](const QString& line) {
        return line.startsWith("file ") && line.contains("added.txt") && line.endsWith(" timed out");
    };
    QCOMPARE(std::count_if(s.messages.cbegin(), s.messages.cend(), stalled), 5);
    QVERIFY(std::any_of(s.messages.cbegin(), s.messages.cend(), [](const QString& line) {
        return line.startsWith("Unable to download") && line.contains("added.txt");
    }));
    QCOMPARE(fileTree(m_Root.filePath("install")), before);
}

void TestSession::cancelDuringInstallRestoresVersionOne()
{
    publish("client_linux_amd64", m_Root.filePath("new"), m_Root.filePath("old"));
    const QString session = recordStepOne();
    const QMap<QString, QByteArray> before = fileTree(m_Root.filePath("install"));

    // Every file is in place by now; the deletions are still to come.
    const SessionResult s = runSession({"--clientupdate", "client_linux_amd64", "2"}, 0, "Starting deleting files");
    QVERIFY(!s.finished);
    QVERIFY(s.messages.contains("User aborted update"));
    QCOMPARE(fileTree(m_Root.filePath("install")), before);
    QVERIFY(!QFileInfo::exists(m_Root.filePath("install/.vx3update")));
}

// An earlier attempt of this session fetched every file: the downloads end at
// once and the files are still installed.
void TestSession::nothingToDownloadStillInstalls()
{
    publish("client_linux_amd64", m_Root.filePath("new"), m_Root.filePath("old"));
    const QString session = recordStepOne();
    const QString product = m_Root.filePath("server/updater-images/client/2/client_linux_amd64");
    const QMap<QString, QByteArray> fetched = fileTree(product);
    for (auto it = fetched.constBegin(); it != fetched.constEnd(); ++it)
        writeFile(session + "/" + it.key(), it.value());

    const SessionResult s = runSession({"--clientupdate", "client_linux_amd64", "2"});
    QVERIFY2(s.finished, qPrintable(s.messages.join('\n')));
    QVERIFY(s.messages.contains("No downloads needed"));
    QVERIFY(s.messages.contains("Patching lib/libsample.so.1"));
    QCOMPARE(fileTree(m_Root.filePath("install")), fileTree(m_Root.filePath("new")));
    QCOMPARE(m_Http->requestPaths().filter("/client_linux_amd64/"), QStringList());
}

void TestSession::namesClimbingOutWriteNothingOutside_data()
{
    // Lines of a signed product ini whose files, taken as they are, would land
    // beside the installation (x) or in the temporary directory, or remove a
    // file beside the installation (victim). @SERVED@ and @PAYLOAD@ stand for
    // the SHA-512 and size of the file served and of the file it installs,
    // @README@ for the installed data/readme.txt.
    QTest::addColumn<QString>("lines");
    QTest::addColumn<QString>("servedAs"); // the name the payload is fetched as
    QTest::addColumn<QString>("section");
    QTest::newRow("file name") << "../x=@PAYLOAD@\n"
                               << "../x"
                               << "client_linux_amd64";
    QTest::newRow("installed path") << "x._lzma2_=@SERVED@::@PAYLOAD@::lib/../../x\n"
                                    << "x._lzma2_"
                                    << "client_linux_amd64";
    QTest::newRow("absolute installed path")
        << "x._lzma2_=@SERVED@::@PAYLOAD@::" + m_Root.filePath("x") + "\n"
        << "x._lzma2_"
        << "client_linux_amd64";
    QTest::newRow("patch name") << "data/readme.txt._lzma2_=@SERVED@::@PAYLOAD@::data/readme.txt\n"
                                   "../x_patch_=@SERVED@::@README@::data/readme.txt\n"
                                << "../x_patch_"
                                << "client_linux_amd64";
    QTest::newRow("deletion") << "[delete]\n../victim=1\n" << QString() << "delete";
}

void TestSession::namesClimbingOutWriteNothingOutside()
{
    QFETCH(QString, lines);
    QFETCH(QString, servedAs);
    QFETCH(QString, section);
    writeFile(m_Root.filePath("victim"), "stays\n");
    const QByteArray payload = "planted\n";
    const QByteArray served = servedAs.endsWith("._lzma2_") ? lzmaContainer(payload) : payload;
    const QString release = "/updater-images/client/2/";
    if (!servedAs.isEmpty()) {
        // Where a client that keeps ".." would ask, and where one that resolves it.
        m_Http->setFile(release + "client_linux_amd64/" + servedAs, served);
        m_Http->setFile(release + QString(servedAs).remove("../"), served);
    }
    const auto fields = [](const QByteArray& data) -> QString {
        return sha512(data) + "::" + QString::number(data.size());
    };
    lines.replace("@SERVED@", fields(served))
        .replace("@PAYLOAD@", fields(payload))
        .replace("@README@", fields("version 1\n"));
    // A valid line first: the installed file is up to date.
    const QString unchanged = "data/unchanged.txt=" + fields(sampleText("same ", 300)) + "\n";
    serveSignedIni(m_Http.get(), release, "vx3_client_linux_amd64.ini",
                   "version=2\nproduct=client_linux_amd64\n[client_linux_amd64]\n"
                       + (unchanged + lines).toUtf8());
    const QString session = recordStepOne();
    const auto outsideSession = [this, session] {
        QMap<QString, QByteArray> files = fileTree(m_Root.path());
        const QString sessionDir = QDir(m_Root.path()).relativeFilePath(session) + "/";
        for (const QString& name : files.keys()) {
            if (name.startsWith(sessionDir))
                files.remove(name);
        }
        return files;
    };
    const QMap<QString, QByteArray> before = outsideSession();

    const SessionResult s = runSession({"--clientupdate", "client_linux_amd64", "2"});
    QCOMPARE(outsideSession().keys(), before.keys());
    QCOMPARE(outsideSession(), before);
    QVERIFY(!s.finished);
    QVERIFY2(s.messages.contains("Warning: product ini contains invalid line in section " + section),
             qPrintable(s.messages.join('\n')));
}

QTEST_MAIN(TestSession)
#include "tst_session.moc"
