// The updater against the real servers a publisher and a user have: step two
// of a session served by nginx (with the site configuration of the docs), over
// HTTPS with a throw-away CA, and through tinyproxy; a download cut short by
// a flaky link continues where it stopped. Each server is a private instance
// on 127.0.0.1 started by the test.
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "support/cuttingrelay.h"
#include "support/localserver.h"
#include "support/releasesession.h"
#include "support/testfiles.h"
#include "updateinidata.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QtTest>

namespace {

const int kToolDeadlineMs = 30000;

// Runs a tool to its end; false when it fails, with its output in `output`.
bool runTool(const QString& program, const QStringList& arguments, const QString& dir, QByteArray* output)
{
    QProcess tool;
    tool.setWorkingDirectory(dir);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    const bool done = tool.waitForFinished(kToolDeadlineMs);
    *output = tool.readAll();
    return done && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// A CA, and two server certificates it signs: one for 127.0.0.1 and one for
// another host.
bool makeCertificates(const QString& dir, QByteArray* output)
{
    const QStringList ecKey = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    if (!runTool("openssl",
                 QStringList{"req", "-x509"} + ecKey
                     + QStringList{"-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                                   "/CN=Voxaro test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                                   "-addext", "keyUsage=critical,keyCertSign"},
                 dir, output))
        return false;
    for (const QString& name : {QStringLiteral("good"), QStringLiteral("other")}) {
        writeFile(dir + "/" + name + ".ext",
                  name == "good" ? "subjectAltName=IP:127.0.0.1\n" : "subjectAltName=DNS:other.example\n");
        if (!runTool(
                "openssl",
                QStringList{"req"} + ecKey
                    + QStringList{"-keyout", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name},
                dir, output)
            || !runTool("openssl",
                        {"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem"},
                        dir, output))
            return false;
    }
    return true;
}

bool anyContains(const QStringList& lines, const QString& part)
{
    return std::any_of(lines.cbegin(), lines.cend(),
                       [&part](const QString& line) { return line.contains(part); });
}

} // namespace

class TestServing final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void docsShowTheSiteTemplate();
    void nginxAnswersWithTheSiteHeaders_data();
    void nginxAnswersWithTheSiteHeaders();
    void sessionOverNginx();
    void sessionOverHttps_data();
    void sessionOverHttps();
    void sessionThroughProxy_data();
    void sessionThroughProxy();
    void refusingProxyLeavesInstallation();
    void brokenDownloadContinues_data();
    void brokenDownloadContinues();

private:
    QString path(const QString& name) const { return m_Root.filePath(name); }
    // Step two of version 2 from `baseUrl`, with `proxy` in update.ini.
    SessionResult updateInstallation(const QString& baseUrl, const QString& proxy = QString());

    QTemporaryDir m_Root;
    LocalServer m_Nginx;
};

void TestServing::initTestCase()
{
    QVERIFY(m_Root.isValid());
    // Version 1 as installed and version 2 as published: a changed data file
    // (patched), a new one, and one that goes.
    writeFile(path("old/data/readme.txt"), sampleText("version 1 ", 400));
    writeFile(path("old/data/obsolete.txt"), "old\n");
    writeFile(path("new/data/readme.txt"), sampleText("version 1 ", 400) + "and version 2\n");
    writeFile(path("new/data/extra/added.bin"), sampleText("added ", 20000));
    publishRelease("client_linux_amd64", path("new"), path("old"), path("server/updater-images/client"));
    QVERIFY(!QTest::currentTestFailed());

    // Incompressible, so that every byte crosses the link.
    QByteArray big(1 << 20, '\0');
    quint32 state = 2463534242u;
    for (char& byte : big) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state);
    }
    writeFile(path("server/updater-images/client/2/big.bin"), big);

    QVERIFY(QDir().mkpath(path("nginx")));
    QVERIFY2(startNginx(&m_Nginx, path("nginx"), path("server")), qPrintable(m_Nginx.failureText()));
    QByteArray output;
    QVERIFY(QDir().mkpath(path("tls")));
    QVERIFY2(makeCertificates(path("tls"), &output), output.constData());
}

void TestServing::init()
{
    QDir(path("install")).removeRecursively();
    QDir(path("tmp")).removeRecursively();
    for (const QString& name : {QStringLiteral("data/readme.txt"), QStringLiteral("data/obsolete.txt")})
        writeFile(path("install/" + name), readFile(path("old/" + name)));
    QVERIFY(QDir().mkpath(path("tmp/voxaro_temp_0")));
    qputenv("TMPDIR", QFile::encodeName(path("tmp")));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(path("config")));
    qunsetenv("VX3_UPDATE_CA_FILE");
    QFile::remove(UpdateIniData::iniPath());
}

void TestServing::cleanup()
{
    QFile::remove(UpdateIniData::iniPath());
}

SessionResult TestServing::updateInstallation(const QString& baseUrl, const QString& proxy)
{
    qputenv("VX3_UPDATE_BASE_URL", baseUrl.toUtf8());
    if (!proxy.isEmpty())
        writeFile(UpdateIniData::iniPath(), "[update]\nproxy=" + proxy.toUtf8() + "\n");
    UpdateIniData::modify(2, path("tmp/voxaro_temp_0"), path("install"), "client_linux_amd64");
    return runSession({"--clientupdate", "client_linux_amd64", "2"});
}

void TestServing::docsShowTheSiteTemplate()
{
    // The docs carry the template verbatim, so the tested site is the one
    // operators copy.
    const QString docs = QString::fromUtf8(readFile(QStringLiteral(VX_SOURCE_DIR "/docs/serving.md")));
    const QString site =
        QString::fromUtf8(readFile(QStringLiteral(VX_SOURCE_DIR "/packaging/nginx/update-site.conf.in")));
    QString indented;
    for (const QString& line : site.split('\n'))
        indented += line.isEmpty() ? QStringLiteral("\n") : QStringLiteral("    ") + line + '\n';
    QVERIFY(site.contains("server {"));
    QVERIFY2(docs.contains(indented.trimmed()),
             "docs/serving.md does not show packaging/nginx/update-site.conf.in");
}

void TestServing::nginxAnswersWithTheSiteHeaders_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("cacheControl");

    const QByteArray octets = "application/octet-stream";
    const QByteArray revalidate = "no-cache";
    const QByteArray shortLived = "public, max-age=600";
    QTest::newRow("packed ini") << "vx3_client_linux_amd64.ini._lzma2_" << QByteArray() << 200 << octets
                                << revalidate;
    QTest::newRow("signature") << "vx3_client_linux_amd64.ini.sig" << QByteArray() << 200 << octets
                               << revalidate;
    QTest::newRow("ini not yet published")
        << "update_linux_amd64.ini._lzma2_" << QByteArray() << 404 << QByteArray("text/html") << revalidate;
    QTest::newRow("patch") << "client_linux_amd64/data/readme.txt._patch_" << QByteArray() << 200 << octets
                           << shortLived;
    QTest::newRow("packed file, range") << "client_linux_amd64/data/extra/added.bin._lzma2_"
                                        << QByteArray("bytes=100-") << 206 << octets << shortLived;
}

void TestServing::nginxAnswersWithTheSiteHeaders()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, range);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    QFETCH(QByteArray, cacheControl);

    QNetworkAccessManager nam;
    QNetworkRequest request(
        QUrl(QStringLiteral("http://127.0.0.1:%1/updater-images/client/2/").arg(m_Nginx.port()) + file));
    // The private instance compresses whatever it can, as stock setups do;
    // the site must still send the bytes as they are.
    request.setRawHeader("Accept-Encoding", "gzip");
    if (!range.isEmpty())
        request.setRawHeader("Range", range);
    QNetworkReply* reply = nam.get(request);
    QSignalSpy done(reply, &QNetworkReply::finished);
    QVERIFY(done.wait(kToolDeadlineMs));
    QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), status);
    QCOMPARE(reply->rawHeader("Content-Type"), contentType);
    QCOMPARE(reply->rawHeader("Cache-Control"), cacheControl);
    QVERIFY(!reply->hasRawHeader("Content-Encoding"));
    if (status != 404) {
        const QByteArray whole = readFile(path("server/updater-images/client/2/" + file));
        QCOMPARE(reply->readAll(), range.isEmpty() ? whole : whole.mid(100));
        QVERIFY(!reply->rawHeader("ETag").isEmpty());
    }
    delete reply;
}

void TestServing::sessionOverNginx()
{
    const SessionResult s =
        updateInstallation(QStringLiteral("http://127.0.0.1:%1/updater-images/client/").arg(m_Nginx.port()));
    QVERIFY2(s.finished, qPrintable(s.messages.join('\n')));
    QVERIFY(s.messages.contains("Patching data/readme.txt"));
    QCOMPARE(fileTree(path("install")), fileTree(path("new")));
}

void TestServing::sessionOverHttps_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<bool>("trustCa");
    QTest::addColumn<QString>("failure"); // empty: the update succeeds

    QTest::newRow("trusted CA") << "good" << true << QString();
    QTest::newRow("untrusted CA") << "good" << false << "certificate could not be found";
    QTest::newRow("another host") << "other" << true << "host name did not match";
}

void TestServing::sessionOverHttps()
{
    QFETCH(QString, certificate);
    QFETCH(bool, trustCa);
    QFETCH(QString, failure);

    const QString dir = path("nginx-tls-" + certificate);
    QVERIFY(QDir().mkpath(dir));
    LocalServer nginx;
    QVERIFY2(startNginx(&nginx, dir, path("server"), path("tls/" + certificate + ".pem"),
                        path("tls/" + certificate + ".key")),
             qPrintable(nginx.failureText()));
    if (trustCa)
        qputenv("VX3_UPDATE_CA_FILE", QFile::encodeName(path("tls/ca.pem")));
    const QMap<QString, QByteArray> before = fileTree(path("install"));

    const SessionResult s =
        updateInstallation(QStringLiteral("https://127.0.0.1:%1/updater-images/client/").arg(nginx.port()));
    if (failure.isEmpty()) {
        QVERIFY2(s.finished, qPrintable(s.messages.join('\n')));
        QCOMPARE(fileTree(path("install")), fileTree(path("new")));
        return;
    }
    QVERIFY(!s.finished);
    QVERIFY2(anyContains(s.messages, "The secure connection to 127.0.0.1 was refused: ")
                 && anyContains(s.messages, failure),
             qPrintable(s.messages.join('\n')));
    QCOMPARE(fileTree(path("install")), before);
}

void TestServing::sessionThroughProxy_data()
{
    QTest::addColumn<QString>("form");
    QTest::newRow("URL") << "http://127.0.0.1:%1";
    QTest::newRow("host and port") << "127.0.0.1:%1";
}

void TestServing::sessionThroughProxy()
{
    QFETCH(QString, form);
    const QString dir = path("proxy-" + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
    QVERIFY(QDir().mkpath(dir));
    LocalServer proxy;
    QVERIFY2(startTinyproxy(&proxy, dir), qPrintable(proxy.failureText()));

    const SessionResult s =
        updateInstallation(QStringLiteral("http://127.0.0.1:%1/updater-images/client/").arg(m_Nginx.port()),
                           form.arg(proxy.port()));
    QVERIFY2(s.finished, qPrintable(s.messages.join('\n')));
    QCOMPARE(fileTree(path("install")), fileTree(path("new")));
    // The files came through the proxy.
    proxy.stop();
    QVERIFY(readFile(dir + "/tinyproxy.log").contains("/2/vx3_client_linux_amd64.ini._lzma2_"));
}

void TestServing::refusingProxyLeavesInstallation()
{
    const quint16 port = freeTcpPort(); // nobody listens there
    const QMap<QString, QByteArray> before = fileTree(path("install"));
    const SessionResult s =
        updateInstallation(QStringLiteral("http://127.0.0.1:%1/updater-images/client/").arg(m_Nginx.port()),
                           QStringLiteral("127.0.0.1:%1").arg(port));
    QVERIFY(!s.finished);
    QVERIFY2(
        anyContains(s.messages,
                    QStringLiteral("The proxy 127.0.0.1:%1 could not be used: Connection refused").arg(port))
            && anyContains(s.messages, "Unable to download vx3_client_linux_amd64.ini._lzma2_"),
        qPrintable(s.messages.join('\n')));
    QCOMPARE(fileTree(path("install")), before);
}

void TestServing::brokenDownloadContinues_data()
{
    QTest::addColumn<bool>("ranges");
    QTest::addColumn<bool>("replaced");   // the file changes while the link is down
    QTest::newRow("nginx") << true << false;
    QTest::newRow("nginx, file replaced") << true << true;
    QTest::newRow("nginx ignoring ranges") << false << false;
}

void TestServing::brokenDownloadContinues()
{
    QFETCH(bool, ranges);
    QFETCH(bool, replaced);
    LocalServer rangeless;
    const LocalServer* nginx = &m_Nginx;
    if (!ranges) {
        QVERIFY(QDir().mkpath(path("nginx-rangeless")));
        QVERIFY2(startNginx(&rangeless, path("nginx-rangeless"), path("server"), QString(), QString(), false),
                 qPrintable(rangeless.failureText()));
        nginx = &rangeless;
    }
    // The link breaks once, 400000 bytes into the first answer.
    const qint64 cut = 400000;
    CuttingRelay relay(nginx->port(), cut, 1);
    QVERIFY(relay.listen());
    g_UpdateBaseUrl = QStringLiteral("http://127.0.0.1:%1/updater-images/client/").arg(relay.port());
    const QString served = path("server/updater-images/client/2/big.bin");
    const QByteArray original = readFile(served);
    QByteArray big = original;
    if (replaced) {
        std::reverse(big.begin(), big.end());
        relay.setOnCut([&] {
            writeFile(served, big);
            // A new validator even within the second of the first answer.
            QFile file(served);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(60), QFileDevice::FileModificationTime));
        });
    }

    QNetworkAccessManager nam;
    DownloadTaskSpecification task(&nam, "big.bin", 2, path("big.bin"), big.size(), 1.0, nullptr);
    QStringList messages;
    connect(&task, &TaskSpecification::message, this, [&messages](const QString& line) { messages << line; });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty() || !canceled.isEmpty(), kToolDeadlineMs);
    if (replaced)
        writeFile(served, original);
    QVERIFY2(finished.count() == 1, qPrintable(messages.join('\n')));
    QVERIFY(readFile(path("big.bin")) == big);

    QCOMPARE(relay.requests().size(), 2);
    const QRegularExpressionMatch asked =
        QRegularExpression("\r\nRange: bytes=(\\d+)-\r\n").match(QString::fromLatin1(relay.requests().at(1)));
    QVERIFY2(asked.hasMatch(), relay.requests().at(1).constData());
    const qint64 offset = asked.captured(1).toLongLong();
    QVERIFY(offset > cut - 1000 && offset < cut);   // all of the body that came
    // The speed counts what came over the link: kept bytes once, bytes sent
    // again twice.
    quint64 done = 0, total = 0, fetched = 0;
    bool downloading = false;
    task.pollDownloadStatus(&done, &total, &fetched, &downloading);
    QCOMPARE(fetched, quint64(ranges && !replaced ? big.size() : offset + big.size()));
    if (ranges && !replaced) {
        QVERIFY(messages.contains(QStringLiteral("Resuming big.bin at byte %1").arg(offset)));
        QVERIFY(relay.bytesRelayed() < big.size() + 2000);
        qInfo("resuming saved %lld of %lld bytes", offset, qint64(big.size()));
    } else {
        QVERIFY(messages.contains("big.bin is sent from the start again"));
        QVERIFY(relay.bytesRelayed() > cut + big.size());
    }
}

QTEST_MAIN(TestServing)
#include "tst_serving.moc"
