// The update engine: session preparation from the record, clean-up after
// success, proxy set-up, and the order of its end signals.
#include "configuration.h"
#include "sessiondirectory.h"
#include "support/testfiles.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <algorithm>

namespace {


QStringList messagesOf(const QSignalSpy& spy)
{
    QStringList texts;
    for (const QList<QVariant>& args : spy)
        texts << args.at(0).toString();
    return texts;
}

} // namespace

class TestUpdateEngine final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noRecordStartsFreshSession();
    void sameVersionContinues();
    void otherVersionCleansUpOnlyItsSessionDirectory();
    void foreignRecordedDirectoryIsLeftAlone();
    void resumeChecks_data();
    void resumeChecks();
    void removeDirContentsKeepsLinkedData();

    void proxy_data();
    void proxy();
    void invalidProxyReportedOnceTheLoopRuns();
    void failedSessionEndsWithFinalProgress();
    void userCancelEndsAborted();
    void destroyedDuringDownload();

private:
    // A configuration for `args` (after the program name), run through the
    // command line as the entry function does.
    std::unique_ptr<Configuration> configure(const QStringList& args);

    QTemporaryDir m_Root;
};

void TestUpdateEngine::initTestCase()
{
    QVERIFY(m_Root.isValid());
}

void TestUpdateEngine::init()
{
    QDir(m_Root.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_Root.path() + "/tmp"));
    QVERIFY(QDir().mkpath(m_Root.path() + "/config"));
    qputenv("TMPDIR", QFile::encodeName(m_Root.path() + "/tmp"));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Root.path() + "/config"));
    QFile::remove(UpdateIniData::iniPath());
}

void TestUpdateEngine::cleanup()
{
    QFile::remove(UpdateIniData::iniPath());
}

std::unique_ptr<Configuration> TestUpdateEngine::configure(const QStringList& args)
{
    auto config = std::make_unique<Configuration>();
    if (!config->parseCommandLineOptions(QStringList{"update"} + args))
        return nullptr;
    return config;
}

void TestUpdateEngine::noRecordStartsFreshSession()
{
    auto config = configure({"client_linux_amd64", "7"});
    QVERIFY(config);
    UpdateEngine engine(config.get(), nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(engine.state(), int(UpdateEngine::POST_INIT));
    QVERIFY(engine.isActive());
    QVERIFY(messages.isEmpty());
    QVERIFY(config->tempDir().startsWith(m_Root.path() + "/tmp/voxaro_temp_"));
    QCOMPARE(config->installDir(), QCoreApplication::applicationDirPath());

    int version = 0;
    QString type, dir, vx3dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir, &vx3dir));
    QCOMPARE(version, 7);
    QCOMPARE(type, QStringLiteral("client_linux_amd64"));
    QCOMPARE(dir, config->tempDir());
}

void TestUpdateEngine::sameVersionContinues()
{
    const QString session = m_Root.path() + "/tmp/voxaro_temp_8";
    QVERIFY(QDir().mkpath(session));
    writeFile(session + "/download.bin", "kept");
    const QString install = m_Root.path() + "/vx3";
    QVERIFY(QDir().mkpath(install));
    UpdateIniData::modify(12, session, install, "client_linux_amd64");

    auto config = configure({"client_linux_amd64", "12"});
    UpdateEngine engine(config.get(), nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());
    QCOMPARE(messagesOf(messages), QStringList{"Previous update session for v. 12 found"});
    QCOMPARE(config->tempDir(), session);
    QCOMPARE(config->installDir(), install);
    QVERIFY(QFileInfo::exists(session + "/download.bin"));
}

void TestUpdateEngine::otherVersionCleansUpOnlyItsSessionDirectory()
{
    const QString session = m_Root.path() + "/tmp/voxaro_temp_2";
    QVERIFY(QDir().mkpath(session + "/sub/deeper"));
    writeFile(session + "/.hidden", "x");
    writeFile(session + "/sub/deeper/file", "x");
    writeFile(UpdateIniData::iniPath(), "[update]\nproxy=\nstreams=3\n[Channel]\nbeta=true\n");
    UpdateIniData::modify(11, session, "/opt/vx3", "client_linux_amd64");

    auto config = configure({"client_linux_amd64", "12"});
    UpdateEngine engine(config.get(), nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QVERIFY(engine.initialize());

    QCOMPARE(messagesOf(messages),
             (QStringList{"Cleanup previous session (v. 11, " + session + ") files...", "Ok"}));
    QVERIFY(!QFileInfo::exists(session));
    QVERIFY(config->tempDir().startsWith(m_Root.path() + "/tmp/voxaro_temp_"));
    QCOMPARE(config->installDir(), QCoreApplication::applicationDirPath());

    // The user's groups survive; the record is the new session's.
    QSettings ini(UpdateIniData::iniPath(), QSettings::IniFormat);
    QCOMPARE(ini.value("update/streams").toInt(), 3);
    QCOMPARE(ini.value("Channel/beta").toBool(), true);
    QCOMPARE(ini.value("current/version").toInt(), 12);
    QCOMPARE(ini.value("current/dir").toString(), config->tempDir());
}

void TestUpdateEngine::foreignRecordedDirectoryIsLeftAlone()
{
    // A damaged or hand-edited record must never make the updater wipe a
    // directory it did not create, nor one reached through a link.
    const QString precious = m_Root.path() + "/Documents";
    QVERIFY(QDir().mkpath(precious));
    writeFile(precious + "/thesis.odt", "years of work");
    const QString link = m_Root.path() + "/tmp/voxaro_temp_9";
    QVERIFY(QFile::link(precious, link));

    for (const QString& recorded : {precious, link}) {
        UpdateIniData::modify(11, recorded, "/opt/vx3", "client_linux_amd64");
        auto config = configure({"client_linux_amd64", "12"});
        UpdateEngine engine(config.get(), nullptr);
        QVERIFY(engine.initialize());
        QVERIFY(QFileInfo::exists(precious + "/thesis.odt"));
        QVERIFY(config->tempDir() != recorded);
    }

    // The same holds when the record claims the version being installed.
    UpdateIniData::modify(12, precious, "/opt/vx3", "client_linux_amd64");
    auto config = configure({"client_linux_amd64", "12"});
    UpdateEngine engine(config.get(), nullptr);
    QVERIFY(engine.initialize());
    QVERIFY(config->tempDir() != precious);
    QVERIFY(QFileInfo::exists(precious + "/thesis.odt"));
}

void TestUpdateEngine::resumeChecks_data()
{
    // The record as written to update.ini ("%S" the recorded session
    // directory, "%I" an installation), whether another updater holds the
    // session, this run's step; what the session is then prepared with.
    QTest::addColumn<QString>("record");
    QTest::addColumn<bool>("held");
    QTest::addColumn<bool>("stepTwo");
    QTest::addColumn<bool>("initialized");
    QTest::addColumn<bool>("continued");
    QTest::addColumn<bool>("recordedInstall");
    QTest::addColumn<bool>("sessionKept");
    QTest::addColumn<QStringList>("messages");
    const QString found = "Previous update session for v. 12 found";
    const QString cleanup = "Cleanup previous session (v. 11, %S) files...";
    const QString swept = "Removed the files of an abandoned update session in %S";
    const QString rest = "\nvx3dir=%I\ntype=client_linux_amd64\n";
    QTest::newRow("same version continues") << "version=12\ndir=%S" + rest << false << false << true << true
                                            << true << true << QStringList{found};
    QTest::newRow("step two continues")
        << "version=12\ndir=%S" + rest << false << true << true << true << true << true << QStringList{found};
    QTest::newRow("same version, held by a running updater")
        << "version=12\ndir=%S" + rest << true << false << true << true << true << true << QStringList{found};
    QTest::newRow("installation gone")
        << "version=12\ndir=%S\nvx3dir=%I/gone\ntype=client_linux_amd64\n"
        << false << false << true << true << false << true << QStringList{found};
    QTest::newRow("no installation recorded")
        << "version=12\ndir=%S\nvx3dir=\ntype=client_linux_amd64\n"
        << false << false << true << true << false << true << QStringList{found};
    QTest::newRow("step two would install into the session")
        << "version=12\ndir=%S\nvx3dir=%S\ntype=client_linux_amd64\n"
        << false << true << false << true << false << true << QStringList{found};
    QTest::newRow("other version cleans up") << "version=11\ndir=%S" + rest << false << false << true << false
                                             << false << false << QStringList{cleanup, "Ok"};
    QTest::newRow("other version, held by a running updater")
        << "version=11\ndir=%S" + rest << true << false << true << false << false << true
        << QStringList{cleanup};
    // Not a record: the session directory is an abandoned one.
    QTest::newRow("version not a number") << "version=12a\ndir=%S" + rest << false << false << true << false
                                          << false << false << QStringList{swept};
    QTest::newRow("type missing") << "version=12\ndir=%S\nvx3dir=%I\n"
                                  << false << false << true << false << false << false << QStringList{swept};
    QTest::newRow("directory gone") << "version=12\ndir=%S0" + rest << false << false << true << false
                                    << false << false << QStringList{swept};
}

void TestUpdateEngine::resumeChecks()
{
    QFETCH(QString, record);
    QFETCH(bool, held);
    QFETCH(bool, stepTwo);
    QFETCH(bool, initialized);
    QFETCH(bool, continued);
    QFETCH(bool, recordedInstall);
    QFETCH(bool, sessionKept);
    QFETCH(QStringList, messages);

    const QString session = m_Root.path() + "/tmp/voxaro_temp_8";
    const QString install = m_Root.path() + "/install";
    writeFile(session + "/download.bin", "kept");
    makeOld(session);
    QVERIFY(QDir().mkpath(install));
    const auto expand = [&](QString text) { return text.replace("%S", session).replace("%I", install); };
    writeFile(UpdateIniData::iniPath(), "[current]\n" + expand(record).toUtf8());
    SessionDirectory other;
    if (held)
        QVERIFY(other.lock(session, false));

    auto config = configure(stepTwo ? QStringList{"--clientupdate", "client_linux_amd64", "12"}
                                    : QStringList{"client_linux_amd64", "12"});
    QVERIFY(config);
    UpdateEngine engine(config.get(), nullptr);
    QSignalSpy messagesSeen(&engine, &UpdateEngine::message);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    QCOMPARE(engine.initialize(), initialized);
    QCOMPARE(fatal.count(), initialized ? 0 : 1);
    for (QString& text : messages)
        text = expand(text);
    QCOMPARE(messagesOf(messagesSeen), messages);
    QCOMPARE(QFileInfo::exists(session + "/download.bin"), sessionKept);
    if (!initialized)
        return;
    QCOMPARE(config->tempDir() == session, continued);
    QCOMPARE(config->installDir(), recordedInstall ? install : QCoreApplication::applicationDirPath());
    QVERIFY(SessionDirectory::inUse(config->tempDir()));
}

void TestUpdateEngine::removeDirContentsKeepsLinkedData()
{
    const QString dir = m_Root.path() + "/tmp/voxaro_temp_1";
    const QString outside = m_Root.path() + "/outside";
    QVERIFY(QDir().mkpath(dir + "/sub"));
    QVERIFY(QDir().mkpath(outside));
    writeFile(outside + "/keep", "x");
    writeFile(dir + "/sub/file", "x");
    writeFile(dir + "/.hidden", "x");
    QVERIFY(QFile::link(outside, dir + "/linkdir"));
    QVERIFY(QFile::link(outside + "/keep", dir + "/linkfile"));

    SessionDirectory::removeContents(dir);
    QVERIFY(QFileInfo::exists(dir));
    QVERIFY(!QFileInfo::exists(dir + "/sub"));
    QVERIFY(!QFileInfo::exists(dir + "/.hidden"));
    QVERIFY(QFileInfo::exists(outside + "/keep"));
}

void TestUpdateEngine::proxy_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("none") << "" << int(QNetworkProxy::NoProxy) << "" << 0;
    QTest::newRow("url with port") << "http://proxy.lan:8080" << int(QNetworkProxy::HttpProxy) << "proxy.lan" << 8080;
    QTest::newRow("url without port") << "http://proxy.lan" << int(QNetworkProxy::HttpProxy) << "proxy.lan" << 3128;
    QTest::newRow("host and port") << "proxy.lan:8080" << int(QNetworkProxy::HttpProxy) << "proxy.lan" << 8080;
    QTest::newRow("host only") << "10.1.2.3" << int(QNetworkProxy::HttpProxy) << "10.1.2.3" << 3128;
}

void TestUpdateEngine::proxy()
{
    QFETCH(QString, setting);
    writeFile(UpdateIniData::iniPath(), "[update]\nproxy=" + setting.toUtf8() + "\n");
    Configuration config;
    UpdateEngine engine(&config, nullptr);
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    const QNetworkProxy proxy = engine.networkAccessManager()->proxy();
    QTEST(int(proxy.type()), "type");
    QTEST(proxy.hostName(), "host");
    QTEST(int(proxy.port()), "port");
    QCoreApplication::processEvents();
    QCOMPARE(fatal.count(), 0);
}

void TestUpdateEngine::invalidProxyReportedOnceTheLoopRuns()
{
    writeFile(UpdateIniData::iniPath(), "[update]\nproxy=\"http://:8080\"\n");
    Configuration config;
    UpdateEngine engine(&config, nullptr);
    // Connected only after construction, as the window does.
    QSignalSpy fatal(&engine, &UpdateEngine::fatalError);
    QVERIFY(fatal.wait(5000));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(), QStringLiteral("'http://:8080' is an invalid proxy specification"));
}

void TestUpdateEngine::failedSessionEndsWithFinalProgress()
{
    // No server: the product ini cannot be fetched and the session fails;
    // one final downloadProgress(0, 0, 0, false) precedes updateCanceled().
    qputenv("VX3_UPDATE_BASE_URL", "http://127.0.0.1:1/updater-images/client/");
    auto config = configure({"client_linux_amd64", "5"});
    UpdateEngine engine(config.get(), nullptr);
    QStringList order;
    connect(&engine, &UpdateEngine::downloadProgress, this,
            [&order](quint64 done, quint64 total, quint64 speed, bool downloading) {
                order << QStringLiteral("progress %1 %2 %3 %4").arg(done).arg(total).arg(speed).arg(downloading);
            });
    connect(&engine, &UpdateEngine::updateCanceled, this, [&order] { order << "canceled"; });
    QSignalSpy messages(&engine, &UpdateEngine::message);

    QVERIFY(engine.initialize());
    QVERIFY(engine.startUpdate());
    QTRY_COMPARE_WITH_TIMEOUT(engine.state(), int(UpdateEngine::CANCELED), 30000);
    QCOMPARE(order.mid(order.size() - 2), (QStringList{"progress 0 0 0 0", "canceled"}));
    QVERIFY(!messagesOf(messages).contains("User aborted update"));
    QVERIFY(QFileInfo::exists(config->tempDir()));   // kept for the next attempt
    engine.resetAfterCancel();
    QCOMPARE(engine.state(), int(UpdateEngine::PRE_INIT));
    qunsetenv("VX3_UPDATE_BASE_URL");
}

void TestUpdateEngine::userCancelEndsAborted()
{
    // A server that never answers: the session waits in its first download
    // until the user cancels.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    qputenv("VX3_UPDATE_BASE_URL", QStringLiteral("http://127.0.0.1:%1/u/").arg(silent.serverPort()).toUtf8());
    auto config = configure({"client_linux_amd64", "5"});
    UpdateEngine engine(config.get(), nullptr);
    QSignalSpy messages(&engine, &UpdateEngine::message);
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    QVERIFY(engine.initialize());
    QVERIFY(engine.startUpdate());
    // The progress tick, whose 16th silent poll ends a download's attempt,
    // runs once a second (session tests shorten it).
    const QList<QTimer*> timers = engine.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(std::any_of(timers.cbegin(), timers.cend(),
                        [](const QTimer* timer) { return timer->isActive() && timer->interval() == 1000; }));
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections() || silent.waitForNewConnection(10), 10000);
    engine.cancelUpdate();
    QVERIFY(canceled.count() == 1 || canceled.wait(10000));
    QVERIFY(messagesOf(messages).contains("User aborted update"));
    qunsetenv("VX3_UPDATE_BASE_URL");
}

void TestUpdateEngine::destroyedDuringDownload()
{
    // exit() during a session destroys the window and with it the engine
    // while a download runs; the process must end, not crash.
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    qputenv("VX3_UPDATE_BASE_URL", QStringLiteral("http://127.0.0.1:%1/u/").arg(silent.serverPort()).toUtf8());
    auto config = configure({"client_linux_amd64", "5"});
    auto engine = std::make_unique<UpdateEngine>(config.get(), nullptr);
    QVERIFY(engine->initialize());
    QVERIFY(engine->startUpdate());
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections() || silent.waitForNewConnection(10), 10000);
    engine.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    qunsetenv("VX3_UPDATE_BASE_URL");
}

QTEST_MAIN(TestUpdateEngine)
#include "tst_updateengine.moc"
