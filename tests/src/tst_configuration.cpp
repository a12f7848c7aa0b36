// The configuration: command line, channel lookup, directories, network settings.
// Rows that leave the version open ask a real UDP server on 127.0.0.1.
#include "support/testfiles.h"
#include "configuration.h"
#include "support/udpresponder.h"
#include "versionquery.h"

#include <QtTest>

#include <sys/stat.h>

using Reply = std::optional<QByteArray>;

namespace {


QString programIni()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/update.ini");
}

} // namespace

class TestConfiguration final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void commandLine_data();
    void commandLine();
    void invalidVersionIsFatal_data();
    void invalidVersionIsFatal();
    void serverWithoutEntryForChannelStopsSilently();
    void failedQueryAbortedByUser();
    void failedQueryRetried();

    void channelFromConfigDirFirst();
    void channelFromProgramDir();
    void noUpdateIniMeansStable();
    void alphaChannelAndRevisionPrecedence();
    void configDirSeparator();
    void stableBaseUrlOverride();

    void networkSettings_data();
    void networkSettings();

    void tempDirNumbering();
    void tempDirFailureSaysWhy();
    void initalizeStartUsesGivenDirectories();

private:
    QTemporaryDir m_Root;
};

void TestConfiguration::initTestCase()
{
    QVERIFY(m_Root.isValid());
    qputenv("VX3_UPDATE_SERVER_HOST", "127.0.0.1");
    pointUdpQueriesAtFreePorts();
    qunsetenv("VX3_UPDATE_BASE_URL");
}

void TestConfiguration::init()
{
    QDir(m_Root.path()).removeRecursively();
    QVERIFY(QDir().mkpath(m_Root.path() + "/config"));
    QVERIFY(QDir().mkpath(m_Root.path() + "/tmp"));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Root.path() + "/config"));
    qputenv("TMPDIR", QFile::encodeName(m_Root.path() + "/tmp"));
    QFile::remove(programIni());
}

void TestConfiguration::cleanup()
{
    QFile::remove(programIni());
}

void TestConfiguration::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("asksServer");
    QTest::addColumn<int>("clientUpdate");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("versionString");
    QTest::addColumn<QString>("news");

    // The server, when asked, offers 300 "3.0" on the stable channel and news "N".
    QTest::newRow("none") << QStringList() << true << 0 << "update_linux_amd64" << 300 << "3.0" << "N";
    QTest::newRow("clientupdate, type, version")
        << QStringList{"--clientupdate", "client_linux_amd64", "42"} << false << 1
        << "client_linux_amd64" << 42 << "" << "";
    QTest::newRow("clientupdate, '#' version string, news")
        << QStringList{"--clientupdate", "client_linux_amd64", "42", "#", "<b>hi</b>"} << false << 1
        << "client_linux_amd64" << 42 << "" << "<b>hi</b>";
    QTest::newRow("nouser with version string")
        << QStringList{"--nouser", "product", "43", "4.3"} << false << 0 << "product" << 43 << "4.3" << "";
    QTest::newRow("clientupdate with one argument")
        << QStringList{"--clientupdate", "ignored"} << true << 1 << "client_linux_amd64" << 300 << "3.0" << "N";
    QTest::newRow("nouser alone") << QStringList{"--nouser"} << true << 0 << "update_linux_amd64" << 300
                                  << "3.0" << "N";
    QTest::newRow("two plain arguments, version 0 never asks")
        << QStringList{"client_linux_amd64", "0"} << false << 0 << "client_linux_amd64" << 0 << "" << "";
    QTest::newRow("two plain arguments") << QStringList{"update_linux_amd64", "17"} << false << 0
                                         << "update_linux_amd64" << 17 << "" << "";
    QTest::newRow("one plain argument") << QStringList{"client_linux_amd64"} << true << 0
                                        << "update_linux_amd64" << 300 << "3.0" << "N";
    QTest::newRow("three plain arguments") << QStringList{"a", "1", "b"} << true << 0 << "update_linux_amd64"
                                           << 300 << "3.0" << "N";
    QTest::newRow("clientupdate is case-sensitive")
        << QStringList{"--ClientUpdate", "5"} << false << 0 << "--ClientUpdate" << 5 << "" << "";
}

void TestConfiguration::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(bool, asksServer);

    UdpResponder server(UdpService::Version, {Reply("300#3.0,301#3.1b"), Reply("N")});
    QVERIFY(server.isListening());

    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QVERIFY(config.parseCommandLineOptions(QStringList{"update"} + args));
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(server.requests().isEmpty(), !asksServer);

    QTEST(config.clientUpdate(), "clientUpdate");
    QTEST(config.clientType(), "clientType");
    QTEST(config.versionNr(), "version");
    QTEST(config.versionString(), "versionString");
    QTEST(config.news(), "news");
    QCOMPARE(config.channel(), 0);
}

void TestConfiguration::invalidVersionIsFatal_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("serverList");
    QTest::addColumn<QString>("message");

    QTest::newRow("plain") << QStringList{"client_linux_amd64", "12a"} << "" << "Invalid version nr (12a)";
    QTest::newRow("flagged") << QStringList{"--clientupdate", "client_linux_amd64", "v2", "2.0"} << ""
                             << "Invalid version nr (v2)";
    QTest::newRow("from server") << QStringList() << "abc#1.0"
                                 << "Update server returned invalid version nr (abc)";
}

void TestConfiguration::invalidVersionIsFatal()
{
    QFETCH(QStringList, args);
    QFETCH(QString, serverList);
    QFETCH(QString, message);

    UdpResponder server(UdpService::Version, {Reply(serverList.toLatin1()), Reply("")});
    QVERIFY(server.isListening());
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QVERIFY(!config.parseCommandLineOptions(QStringList{"update"} + args));
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(), message);
}

void TestConfiguration::serverWithoutEntryForChannelStopsSilently()
{
    writeFile(m_Root.path() + "/config/update.ini", "[Channel]\nbeta=true\n");
    UdpResponder server(UdpService::Version, {Reply("300#3.0"), Reply("")});
    QVERIFY(server.isListening());
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QVERIFY(!config.parseCommandLineOptions({"update"}));
    QCOMPARE(config.channel(), 1);
    QCOMPARE(fatal.count(), 0);
}

void TestConfiguration::failedQueryAbortedByUser()
{
    UdpResponder server(UdpService::Version, {});
    QVERIFY(server.isListening());
    Configuration config;
    QStringList asked;
    config.setRetryPrompt([&asked](const QString& failure) {
        asked << failure;
        return false;
    });
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QVERIFY(!config.parseCommandLineOptions({"update"}));
    QCOMPARE(fatal.count(), 0);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(asked, QStringList{"Failed to query latest client\nversion from update server."});
}

void TestConfiguration::failedQueryRetried()
{
    UdpResponder server(UdpService::Version, {std::nullopt, Reply("500#5.0"), Reply("news")});
    QVERIFY(server.isListening());
    Configuration config;
    config.setRetryPrompt([](const QString&) { return true; });
    QVERIFY(config.parseCommandLineOptions({"update"}));
    QCOMPARE(config.versionNr(), 500);
    QCOMPARE(config.versionString(), QStringLiteral("5.0"));
    QCOMPARE(config.news(), QStringLiteral("news"));
}

void TestConfiguration::channelFromConfigDirFirst()
{
    // The configuration directory's file wins even when the program's says otherwise.
    writeFile(m_Root.path() + "/config/update.ini", "[Channel]\nbeta=false\nBeta=1\n");
    writeFile(programIni(), "[Channel]\nalpha=http://alpha.example/\n");
    Configuration config;
    config.getUpdateChannel();
    QCOMPARE(config.channel(), 1);
    QCOMPARE(g_UpdateBaseUrl, Configuration::stableBaseUrl());
}

void TestConfiguration::channelFromProgramDir()
{
    writeFile(programIni(), "[Channel]\nbeta=true\n");
    Configuration config;
    config.getUpdateChannel();
    QCOMPARE(config.channel(), 1);

    writeFile(programIni(), "[Channel]\nbeta=false\n");
    config.getUpdateChannel();
    QCOMPARE(config.channel(), 0);
}

void TestConfiguration::noUpdateIniMeansStable()
{
    Configuration config;
    config.getUpdateChannel();
    QCOMPARE(config.channel(), 0);
    QCOMPARE(config.versionNr(), 0);
    QCOMPARE(g_UpdateBaseUrl, QStringLiteral(VX_DEFAULT_STABLE_BASE_URL));
    QVERIFY(g_UpdateBaseUrl.endsWith("/updater-images/client/"));
}

void TestConfiguration::alphaChannelAndRevisionPrecedence()
{
    writeFile(m_Root.path() + "/config/update.ini",
              "[Channel]\nalpha=http://127.0.0.1:1/alpha\nalphaRevno=77\nbeta=true\n");
    UdpResponder server(UdpService::Version, {Reply("300#3.0"), Reply("N")});
    QVERIFY(server.isListening());

    Configuration config;
    QVERIFY(config.parseCommandLineOptions({"update", "client_linux_amd64", "5"}));
    QCOMPARE(config.channel(), 2);
    QCOMPARE(config.versionNr(), 77);
    QCOMPARE(g_UpdateBaseUrl, QStringLiteral("http://127.0.0.1:1/alpha/"));

    // No version anywhere but the alpha revision: the server is not asked either.
    Configuration bare;
    QVERIFY(bare.parseCommandLineOptions({"update"}));
    QCOMPARE(bare.versionNr(), 77);
    QVERIFY(server.requests().isEmpty());
}

void TestConfiguration::configDirSeparator()
{
    const QString dir = m_Root.path() + "/config";
    writeFile(dir + "/update.ini", "[Channel]\nbeta=1\n");

    qputenv("VX3_CONFIG_DIR", QFile::encodeName(dir));
    QCOMPARE(Configuration::configDir(), dir + "/");
    Configuration withoutSlash;
    withoutSlash.getUpdateChannel();
    QCOMPARE(withoutSlash.channel(), 1);

    qputenv("VX3_CONFIG_DIR", QFile::encodeName(dir + "/"));
    QCOMPARE(Configuration::configDir(), dir + "/");
    Configuration withSlash;
    withSlash.getUpdateChannel();
    QCOMPARE(withSlash.channel(), 1);

    qunsetenv("VX3_CONFIG_DIR");
    QCOMPARE(Configuration::configDir(), QDir::homePath() + "/.vx3client/");
}

void TestConfiguration::stableBaseUrlOverride()
{
    qputenv("VX3_UPDATE_BASE_URL", "http://127.0.0.1:8080/updater-images/client");
    QCOMPARE(Configuration::stableBaseUrl(), QStringLiteral("http://127.0.0.1:8080/updater-images/client/"));
    qunsetenv("VX3_UPDATE_BASE_URL");
    QCOMPARE(Configuration::stableBaseUrl(), QStringLiteral(VX_DEFAULT_STABLE_BASE_URL));
}

void TestConfiguration::networkSettings_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");

    QTest::newRow("no file") << QByteArray() << "" << 6;
    QTest::newRow("three streams and a proxy")
        << QByteArray("[update]\nproxy=http://proxy:8080\nstreams=3\n") << "http://proxy:8080" << 3;
    QTest::newRow("zero streams") << QByteArray("[update]\nstreams=0\n") << "" << 6;
    QTest::newRow("negative streams") << QByteArray("[update]\nstreams=-2\n") << "" << 6;
    QTest::newRow("not a number") << QByteArray("[update]\nstreams=many\n") << "" << 6;
}

void TestConfiguration::networkSettings()
{
    QFETCH(QByteArray, ini);
    if (!ini.isEmpty())
        writeFile(programIni(), ini);
    Configuration config;
    config.readUpdateIniSettings();
    QTEST(config.proxy(), "proxy");
    QTEST(config.streams(), "streams");
}

void TestConfiguration::tempDirNumbering()
{
    // Every name an older build would try, planted: files, directories, and
    // dangling links, which look absent to an existence check but would hand
    // our session directory to whoever owns their target.
    const QString tmp = m_Root.path() + "/tmp/";
    const QString target = m_Root.path() + "/elsewhere";
    for (int i = 0; i < 1000; ++i) {
        const QString name = tmp + "voxaro_temp_" + QString::number(i);
        if (i % 3 == 0)
            QVERIFY(QDir().mkdir(name));
        else if (i % 3 == 1)
            writeFile(name, "a file takes the name too");
        else
            QVERIFY(QFile::link(target, name));
    }

    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QVERIFY(config.createTempDir());
    QCOMPARE(fatal.count(), 0);
    QVERIFY(QRegularExpression("^" + QRegularExpression::escape(tmp) + "voxaro_temp_[0-9]+$")
                .match(config.tempDir())
                .hasMatch());
    QVERIFY(QDir(config.tempDir()).isEmpty());
    QVERIFY(!QFileInfo::exists(target));
    struct stat status;
    QCOMPARE(::lstat(QFile::encodeName(config.tempDir()).constData(), &status), 0);
    QVERIFY(S_ISDIR(status.st_mode));
    QCOMPARE(status.st_mode & 0777, 0700u);

    const QString first = config.tempDir();
    QVERIFY(config.createTempDir());
    QVERIFY(config.tempDir() != first);
}

void TestConfiguration::tempDirFailureSaysWhy()
{
    writeFile(m_Root.path() + "/plain", "a file, not a directory");
    qputenv("TMPDIR", QFile::encodeName(m_Root.path() + "/plain"));
    Configuration config;
    QSignalSpy fatal(&config, &Configuration::fatalError);
    QVERIFY(!config.createTempDir());
    QCOMPARE(fatal.count(), 1);
    QCOMPARE(fatal.at(0).at(0).toString(),
             "Unable to create a temporary directory in '" + m_Root.path() + "/plain': Not a directory");
    QVERIFY(!config.initalizeStart(QString(), QString()));
}

void TestConfiguration::initalizeStartUsesGivenDirectories()
{
    Configuration config;
    QVERIFY(config.initalizeStart("/given/temp", "/given/install"));
    QCOMPARE(config.tempDir(), QStringLiteral("/given/temp"));
    QCOMPARE(config.installDir(), QStringLiteral("/given/install"));

    QVERIFY(config.initalizeStart(QString(), QString()));
    QVERIFY(config.tempDir().startsWith(m_Root.path() + "/tmp/voxaro_temp_"));
    QCOMPARE(config.installDir(), QCoreApplication::applicationDirPath());
}

QTEST_MAIN(TestConfiguration)
#include "tst_configuration.moc"
