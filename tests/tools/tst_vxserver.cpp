// The reference update server run as a program on 127.0.0.1 with ports the
// system chooses: the UDP version, news and banner answers byte for byte,
// HTTP GET and HEAD of files, 404, refusals of paths leaving the root, the
// request log (client bytes escaped), option errors, a clean stop on SIGTERM
// and SIGINT, the UDP answers alone, read from files and reloaded on SIGHUP,
// idle connections closed, and UDP answers rate-limited.

#include "support/testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkDatagram>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const int kWaitMs = 20000;

// A running vxserver and the ports of its start-up line.
struct Server
{
    QProcess process;
    QByteArray log;
    quint16 http = 0;
    quint16 versions = 0;
    quint16 banner = 0;

    ~Server()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate();
        process.waitForFinished(kWaitMs);
    }

    bool start(const QStringList& args)
    {
        process.start(QStringLiteral(VXSERVER_BINARY), args);
        const QDeadlineTimer deadline(kWaitMs);
        while (!log.contains('\n') && process.waitForReadyRead(int(deadline.remainingTime())))
            log += process.readAllStandardOutput();
        const QString line = QString::fromUtf8(log);
        auto port = [&line](const char* service) {
            return quint16(QRegularExpression(QLatin1String(service) + " (\\d+)").match(line).captured(1).toUInt());
        };
        http = port("http");
        versions = port("versions udp");
        banner = port("banner udp");
        return http != 0 || versions != 0 || banner != 0;
    }

    // Takes what the server logged so far, so that its pipe never fills
    // while a test sends many requests.
    void drainLog()
    {
        QCoreApplication::processEvents();
        log += process.readAllStandardOutput();
    }

    // Reads the log until `text` shows up. Event loops run by the test may
    // have buffered output already, which no later readyRead announces.
    bool logged(const QByteArray& text)
    {
        const QDeadlineTimer deadline(kWaitMs);
        log += process.readAllStandardOutput();
        while (!log.contains(text) && process.waitForReadyRead(int(deadline.remainingTime())))
            log += process.readAllStandardOutput();
        log += process.readAllStandardOutput(); // what a finished process left
        if (!log.contains(text))
            qWarning("server log:\n%s", log.constData());
        return log.contains(text);
    }
};

QByteArray udpExchange(QUdpSocket* socket, const QByteArray& request, quint16 port)
{
    socket->writeDatagram(request, QHostAddress::LocalHost, port);
    if (!socket->hasPendingDatagrams() && !socket->waitForReadyRead(kWaitMs))
        return "<no reply>";
    QByteArray reply(int(socket->pendingDatagramSize()), '\0');
    socket->readDatagram(reply.data(), reply.size());
    return reply;
}

// The answer to one request sent from `source`, a loopback address of its own.
QByteArray queryFrom(const QHostAddress& source, const QByteArray& request, quint16 port)
{
    QUdpSocket socket;
    if (!socket.bind(source, 0))
        return "<cannot bind " + source.toString().toLatin1() + '>';
    return udpExchange(&socket, request, port);
}

// Client i's address: 127.1.0.1, 127.1.0.2, ... (all of 127/8 is loopback).
QHostAddress client(int i)
{
    return QHostAddress(quint32((127u << 24) | (1u << 16)) + quint32(i) + 1);
}

// The version answers clients 0 to count - 1 get, each from its own address.
QVector<QByteArray> versionAnswers(Server& server, int count)
{
    QVector<QByteArray> answers;
    for (int i = 0; i < count; ++i) {
        answers << queryFrom(client(i), QByteArray("3", 2), server.versions);
        server.drainLog();
    }
    return answers;
}

// Traffic the metrics count: 40 clients ask for the version list, the first
// one three times more (two of them beyond its limit of three) and for the
// news, and sends a malformed request; two ask for the banner. Returns how
// many answers offered version 302.
int sendCountedTraffic(Server& server)
{
    int offered302 = 0;
    for (int i = 0; i < 40; ++i)
        offered302 += queryFrom(client(300 + i), QByteArray("3", 2), server.versions).startsWith("302#");
    // The first client's one answer left (its third) goes to its cohort again.
    offered302 += queryFrom(client(300), QByteArray("3", 2), server.versions).startsWith("302#");
    QUdpSocket first;
    if (!first.bind(client(300), 0) || !udpExchange(&first, QByteArray("*", 2), server.versions).isEmpty())
        return -1;
    for (int i = 0; i < 2; ++i)
        first.writeDatagram(QByteArray("3", 2), QHostAddress::LocalHost, server.versions);
    first.writeDatagram("not a request", QHostAddress::LocalHost, server.versions);
    for (int i = 0; i < 2; ++i)
        queryFrom(client(400 + i), QByteArray("\x01\x01", 2), server.banner);
    return offered302;
}

// A raw request, for what a well-behaved client never sends.
QByteArray rawHttp(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(kWaitMs))
        return "<no connection>";
    socket.write(request);
    QByteArray answer;
    const QDeadlineTimer deadline(kWaitMs);
    while (socket.state() == QAbstractSocket::ConnectedState
           && socket.waitForReadyRead(int(deadline.remainingTime())))
        answer += socket.readAll();
    return answer + socket.readAll();
}

struct Fetched
{
    int status = 0;
    QByteArray length;
    QByteArray body;
};

Fetched fetch(QNetworkAccessManager* nam, const QString& url, bool head = false)
{
    QNetworkRequest request{QUrl(url)};
    QNetworkReply* reply = head ? nam->head(request) : nam->get(request);
    QSignalSpy done(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(kWaitMs);
    Fetched fetched;
    fetched.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    fetched.length = reply->rawHeader("Content-Length");
    fetched.body = reply->readAll();
    reply->deleteLater();
    return fetched;
}

} // namespace

class TestVxserver final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void udpQueriesGetTheirExactReplies();
    void filesOverHttp();
    void pathsOutsideTheRootAndOddRequestsAreRefused();
    void optionErrors();
    void stopsCleanlyOnSignals();
    void udpAloneReloadsItsAnswersOnSighup();
    void clientBytesAreEscapedInTheLog();
    void idleConnectionsAreClosed_data();
    void idleConnectionsAreClosed();
    void udpAnswersAreRateLimited();
    void connectionsBeyondTheCapAreRefused();
    void rolloutStagesCohortsAndFollowsReloads();
    void cohortsFollowTheKey();
    void metricsCountWhatWasDone();

private:
    QString path(const QString& name) const { return m_Dir.filePath(name); }
    QStringList rolloutArgs(const QString& dir) const;
    QString url(const QString& relative) const
    {
        return QStringLiteral("http://127.0.0.1:%1/%2").arg(QString::number(m_Server.http), relative);
    }

    QTemporaryDir m_Dir;
    Server m_Server;
    QByteArray m_News;
    QByteArray m_Big;
};

void TestVxserver::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    m_News = QStringLiteral("<!-- URL=http://127.0.0.1/ -->Neue Version: schneller, schöner. ").toUtf8();
    writeFile(path("news.html"), m_News);
    for (int i = 0; i < 300000; ++i)
        m_Big.append(char(i * 7 % 251));
    writeFile(path("root/7/client_linux_amd64/lib/big.bin"), m_Big);
    writeFile(path("root/7/with space.txt"), "spaced");
    writeFile(path("root/7/empty"), QByteArray());
    writeFile(path("secret.txt"), "outside the root");
    QVERIFY(QFile::link(path("secret.txt"), path("root/7/link")));
    QVERIFY(m_Server.start({"--root", path("root"), "--http-port", "0", "--udp-port", "0",
                            "--banner-port", "0", "--versions", "301#3.1.0,302#3.2.0 beta,",
                            "--news", path("news.html"), "--banner",
                            "http://127.0.0.1/banner.jpg,http://127.0.0.1/click"}));
    QVERIFY(m_Server.versions != 0 && m_Server.banner != 0);
}

void TestVxserver::cleanupTestCase()
{
    m_Server.process.terminate();
    m_Server.process.waitForFinished(kWaitMs);
}

void TestVxserver::udpQueriesGetTheirExactReplies()
{
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QCOMPARE(udpExchange(&client, QByteArray("3", 2), m_Server.versions),
             QByteArray("301#3.1.0,302#3.2.0 beta,"));
    QCOMPARE(udpExchange(&client, QByteArray("*", 2), m_Server.versions), m_News);
    QCOMPARE(udpExchange(&client, QByteArray("\x01\x01", 2), m_Server.banner),
             QByteArray("http://127.0.0.1/banner.jpg,http://127.0.0.1/click"));

    // Other datagrams get no answer: the reply that arrives is the next one's.
    client.writeDatagram(QByteArray("3"), QHostAddress::LocalHost, m_Server.versions);
    client.writeDatagram(QByteArray("\x01\x01", 2), QHostAddress::LocalHost, m_Server.versions);
    QCOMPARE(udpExchange(&client, QByteArray("*", 2), m_Server.versions), m_News);
    QVERIFY(m_Server.logged("versions ignored 2 bytes 0x0101"));
    QVERIFY(!client.hasPendingDatagrams());
}

void TestVxserver::filesOverHttp()
{
    QNetworkAccessManager nam;
    Fetched big = fetch(&nam, url("7/client_linux_amd64/lib/big.bin"));
    QCOMPARE(big.status, 200);
    QCOMPARE(big.length, QByteArray::number(m_Big.size()));
    QVERIFY(big.body == m_Big);

    QCOMPARE(fetch(&nam, url("7/with%20space.txt")).body, QByteArray("spaced"));
    const Fetched empty = fetch(&nam, url("7/./empty"));
    QCOMPARE(empty.status, 200);
    QCOMPARE(empty.length, QByteArray("0"));

    const Fetched head = fetch(&nam, url("7/client_linux_amd64/lib/big.bin"), true);
    QCOMPARE(head.status, 200);
    QCOMPARE(head.length, QByteArray::number(m_Big.size()));
    QVERIFY(head.body.isEmpty());

    QCOMPARE(fetch(&nam, url("7/missing.ini._lzma2_")).status, 404);
    const QByteArray headMissing = rawHttp(m_Server.http, "HEAD /7/missing HTTP/1.1\r\n\r\n");
    QVERIFY2(headMissing.startsWith("HTTP/1.1 404 ") && headMissing.endsWith("\r\n\r\n"),
             headMissing.constData());
    QCOMPARE(fetch(&nam, url("7/client_linux_amd64")).status, 404);

    QVERIFY(m_Server.logged("GET /7/client_linux_amd64/lib/big.bin 200 300000\n"));
    QVERIFY(m_Server.logged("HEAD /7/client_linux_amd64/lib/big.bin 200 0\n"));
    QVERIFY(m_Server.logged("GET /7/missing.ini._lzma2_ 404"));
}

void TestVxserver::pathsOutsideTheRootAndOddRequestsAreRefused()
{
    const struct
    {
        QByteArray request;
        QByteArray status;
    } cases[] = {
        {"GET /../secret.txt HTTP/1.1\r\nHost: x\r\n\r\n", "403"},
        {"GET /7/../../secret.txt HTTP/1.1\r\n\r\n", "403"},
        {"GET /7/%2e%2e/%2E%2E/secret.txt HTTP/1.1\r\n\r\n", "403"},
        {"GET /7/..%2f..%2fsecret.txt HTTP/1.0\r\n\r\n", "403"},
        {"GET /7/link HTTP/1.1\r\n\r\n", "403"},
        {"GET /7/empty%00 HTTP/1.1\r\n\r\n", "403"},
        {"POST /7/empty HTTP/1.1\r\nContent-Length: 0\r\n\r\n", "405"},
        {"GET 7/empty HTTP/1.1\r\n\r\n", "400"},
        {"HELLO\r\n\r\n", "400"},
        {"GET /" + QByteArray(20000, 'a'), "400"},
    };
    for (const auto& c : cases) {
        const QByteArray answer = rawHttp(m_Server.http, c.request);
        QVERIFY2(answer.startsWith("HTTP/1.1 " + c.status + ' '), c.request.left(60).constData());
        QVERIFY2(!answer.contains("outside the root"), c.request.constData());
    }
    QVERIFY(m_Server.logged("GET /7/link 403"));
}

void TestVxserver::optionErrors()
{
    writeFile(path("long-news.html"), QByteArray(4096, 'n'));
    const QString root = path("root");
    const struct
    {
        QStringList args;
        int status;
    } cases[] = {
        {{}, 2},
        {{"--root", path("nothing")}, 2},
        {{"--root", root, "--colour", "blue"}, 2},
        {{"--root", root, "--http-port", "70000"}, 2},
        {{"--root", root, "--bind", "localhost-ish"}, 2},
        {{"--root", root, "--versions", "3.1#x"}, 2},
        {{"--root", root, "--versions", QString(600, '1')}, 2},
        {{"--root", root, "--news", path("news.html")}, 2},
        {{"--root", root, "--versions", "1#a", "--news", path("long-news.html")}, 2},
        {{"--root", root, "--banner", "a,b,c"}, 2},
        {{"--root", root, "--banner", QStringLiteral("http://x/\u20ac.jpg,y")}, 2},
        {{"--root", root, "--idle-timeout", "0"}, 2},
        {{"--root", root, "--udp-rate", "-1"}, 2},
        {{"--root", root, "--max-connections", "0"}, 2},
        {{"--root", root, "--udp-burst", "1.5"}, 2},
        {{"--root", root, "--http-port", QString::number(m_Server.http)}, 1},
        {{"--http-port", "0", "--versions", "1#a"}, 2},
        {{"--versions", "1#a", "--versions-file", path("news.html")}, 2},
        {{"--banner-file", path("missing")}, 2},
        {{"--versions", "1#a", "--rollout", path("news.html")}, 2},
        {{"--versions", "1#a", "--rollout", path("bad-rollout"), "--cohort-key", path("key")}, 2},
        {{"--versions", "1#a", "--rollout", path("empty-rollout"), "--cohort-key", path("short-key")}, 1},
    };
    writeFile(path("bad-rollout"), "101 versions\n");
    writeFile(path("empty-rollout"), "# nothing staged\n");
    writeFile(path("short-key"), "0123456789");
    QProcess help;
    help.start(QStringLiteral(VXSERVER_BINARY), {"--help"});
    QVERIFY(help.waitForFinished(kWaitMs));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray helpText = help.readAllStandardOutput();
    for (const char* option : {"--idle-timeout", "--max-connections", "--udp-rate", "--udp-burst"})
        QVERIFY2(helpText.contains(option), option);
    for (const auto& c : cases) {
        QProcess process;
        process.start(QStringLiteral(VXSERVER_BINARY), c.args);
        QVERIFY(process.waitForFinished(kWaitMs));
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(process.exitCode() == c.status, qPrintable(c.args.join(' ')));
        QVERIFY2(err.startsWith("vxserver: ") && err.count('\n') == 1, err.constData());
    }
}

void TestVxserver::stopsCleanlyOnSignals()
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        Server server;
        QVERIFY(server.start({"--root", path("root"), "--http-port", "0"}));
        ::kill(pid_t(server.process.processId()), signalNumber);
        QVERIFY(server.process.waitForFinished(kWaitMs));
        QCOMPARE(server.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server.process.exitCode(), 0);
        QVERIFY(server.logged("stopping on signal " + QByteArray::number(signalNumber)));
    }
}

void TestVxserver::udpAloneReloadsItsAnswersOnSighup()
{
    writeFile(path("udp/versions"), "5#5.0,6#6.0 beta\n");
    writeFile(path("udp/news.html"), "first news");
    writeFile(path("udp/banner"), "http://127.0.0.1/a.jpg,http://127.0.0.1/a\n");
    Server server;
    QVERIFY(server.start({"--udp-port", "0", "--banner-port", "0", "--versions-file", path("udp/versions"),
                          "--news", path("udp/news.html"), "--banner-file", path("udp/banner")}));
    QCOMPARE(server.http, quint16(0));
    QVERIFY(server.versions != 0 && server.banner != 0);
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    QCOMPARE(udpExchange(&client, QByteArray("3", 2), server.versions), QByteArray("5#5.0,6#6.0 beta"));

    writeFile(path("udp/versions"), "7#7.0");
    writeFile(path("udp/news.html"), "second news");
    writeFile(path("udp/banner"), "http://127.0.0.1/b.jpg,http://127.0.0.1/b");
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY(server.logged("reloaded the answers"));
    QCOMPARE(udpExchange(&client, QByteArray("3", 2), server.versions), QByteArray("7#7.0"));
    QCOMPARE(udpExchange(&client, QByteArray("*", 2), server.versions), QByteArray("second news"));
    QCOMPARE(udpExchange(&client, QByteArray("\x01\x01", 2), server.banner),
             QByteArray("http://127.0.0.1/b.jpg,http://127.0.0.1/b"));

    // A file that does not check out leaves every answer as it was.
    writeFile(path("udp/versions"), "8#8.0");
    writeFile(path("udp/banner"), "no comma");
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY(server.logged("reload refused, answers unchanged: --banner 'no comma' is not imageURL,clickURL"));
    QCOMPARE(udpExchange(&client, QByteArray("3", 2), server.versions), QByteArray("7#7.0"));
    server.process.terminate();
    QVERIFY(server.process.waitForFinished(kWaitMs));
}

void TestVxserver::clientBytesAreEscapedInTheLog()
{
    // A line break inside the request line must not start a line of its
    // own, and terminal escapes must not reach whoever reads the log.
    QVERIFY(rawHttp(m_Server.http, "GET /x\nGET /forged 200 0\r\n\r\n").startsWith("HTTP/1.1 400 "));
    QVERIFY(rawHttp(m_Server.http, "GET /7/\x1b[31m\x7f\\ HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 404 "));
    QVERIFY(m_Server.logged("GET\\x20/x\\x0aGET\\x20/forged\\x20200\\x200 400"));
    QVERIFY(m_Server.logged("GET /7/\\x1b[31m\\x7f\\\\ 404"));
    QVERIFY(!m_Server.log.contains("\nGET /forged"));
    QVERIFY(!m_Server.log.contains('\x1b'));
}

void TestVxserver::idleConnectionsAreClosed_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("answer"); // empty: cut off without one
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("silent") << QByteArray() << QByteArray("HTTP/1.1 408 ")
                            << QByteArray("(request incomplete, idle for 200 ms) 408");
    QTest::newRow("half a request") << QByteArray("GET /7/empty HTTP/1.1\r\nHost: x\r\n")
                                    << QByteArray("HTTP/1.1 408 ")
                                    << QByteArray("(request incomplete, idle for 200 ms) 408");
    // A client that stops reading holds the rest of a large answer.
    QTest::newRow("answer not read") << QByteArray("GET /huge HTTP/1.1\r\n\r\n") << QByteArray()
                                     << QByteArray("GET /huge aborted: idle for 200 ms");
}

void TestVxserver::idleConnectionsAreClosed()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, logged);
    // Larger than what the socket buffers of both ends hold.
    if (!QFile::exists(path("idle/huge")))
        writeFile(path("idle/huge"), QByteArray(32 << 20, 'h'));
    Server server;
    QVERIFY(server.start({"--root", path("idle"), "--http-port", "0", "--idle-timeout", "0.2"}));
    QTcpSocket socket;
    socket.setReadBufferSize(4096);
    socket.connectToHost(QHostAddress::LocalHost, server.http);
    QVERIFY(socket.waitForConnected(kWaitMs));
    if (!request.isEmpty()) {
        socket.write(request);
        QVERIFY(socket.waitForBytesWritten(kWaitMs));
    }
    QVERIFY(server.logged(logged));
    if (answer.isEmpty())
        return;
    QVERIFY(socket.bytesAvailable() > 0 || socket.waitForReadyRead(kWaitMs));
    QVERIFY2(socket.readAll().startsWith(answer), qPrintable(QTest::currentDataTag()));
    QTRY_COMPARE_WITH_TIMEOUT(socket.state(), QAbstractSocket::UnconnectedState, kWaitMs);
}

void TestVxserver::udpAnswersAreRateLimited()
{
    Server server;
    QVERIFY(server.start({"--root", path("root"), "--http-port", "0", "--udp-port", "0",
                          "--versions", "301#3.1.0", "--udp-rate", "0.001", "--udp-burst", "2"}));
    QUdpSocket client;
    QVERIFY(client.bind(QHostAddress(QHostAddress::LocalHost), 0));
    for (int i = 0; i < 5; ++i)
        client.writeDatagram(QByteArray("3", 2), QHostAddress::LocalHost, server.versions);
    // No requests: ignored, and logged after the five before them, but only
    // the first ten of a flood.
    for (char c = 'a'; c < 'a' + 15; ++c)
        client.writeDatagram(QByteArray("x") + c, QHostAddress::LocalHost, server.versions);
    QVERIFY(server.logged("versions ignored 2 bytes 0x786a"));
    QCOMPARE(server.log.count("rate limited"), 1);
    int replies = 0;
    // The answers left before the log line that follows them.
    while (client.hasPendingDatagrams()) {
        client.receiveDatagram();
        ++replies;
    }
    QCOMPARE(replies, 2);
    server.process.terminate();
    QVERIFY(server.logged("stopping on signal"));
    QCOMPARE(server.log.count("versions ignored"), 10);
}

void TestVxserver::connectionsBeyondTheCapAreRefused()
{
    Server server;
    QVERIFY(server.start({"--root", path("root"), "--http-port", "0", "--max-connections", "2"}));
    QTcpSocket first;
    QTcpSocket second;
    for (QTcpSocket* socket : {&first, &second}) {
        socket->connectToHost(QHostAddress::LocalHost, server.http);
        QVERIFY(socket->waitForConnected(kWaitMs));
    }
    QVERIFY(rawHttp(server.http, "GET /7/with%20space.txt HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 503 Service Unavailable\r\n"));
    QVERIFY(server.logged("refused 503: 2 connections open"));
    first.abort();
    // Served again once the server has seen the first one go.
    QTRY_VERIFY_WITH_TIMEOUT(rawHttp(server.http, "GET /7/with%20space.txt HTTP/1.1\r\n\r\n").startsWith("HTTP/1.1 200 OK"), kWaitMs);
}

// Version 302 staged to 10 % of the senders in `dir`, the rest offered 301:
// the arguments of a server for the version list alone.
QStringList TestVxserver::rolloutArgs(const QString& dir) const
{
    writeFile(path(dir + "/versions"), "301#3.0.1,301#3.0.1,\n");
    writeFile(path(dir + "/versions-302"), "302#3.0.2,301#3.0.1,\n");
    writeFile(path(dir + "/stages"), "# stable 3.0.2\n10 versions-302\n");
    return {"--udp-port",      "0",
            "--versions-file", path(dir + "/versions"),
            "--rollout",       path(dir + "/stages"),
            "--cohort-key",    path(dir + "/cohort-key")};
}

void TestVxserver::rolloutStagesCohortsAndFollowsReloads()
{
    const QString key = path("rollout/cohort-key");
    Server server;
    QVERIFY(server.start(rolloutArgs("rollout")));
    QVERIFY(server.logged("made a new cohort key in " + key.toUtf8()));
    QCOMPARE(QFile(key).size(), 32);
    QCOMPARE(QFile::permissions(key) & 0x0077, QFileDevice::Permissions());

    // Shares of 2000 addresses; the tolerances are over 4 standard deviations.
    const int kClients = 2000;
    const struct
    {
        const char* stages;
        const char* logged; // empty: the first stage, no reload
        double low, high;   // share of clients offered 302
    } kSteps[] = {
        {"", "", 0.07, 0.13},
        {"20 versions-302", "reloaded the answers; staged: 20% to stable 302 beta 301", 0.16, 0.24},
        {"0 versions-302", "reloaded the answers; staged: 0% to stable 302 beta 301", 0, 0},
        {"100 versions-302", "reloaded the answers; staged: 100% to stable 302 beta 301", 1, 1},
        {"100 missing-file", "reload refused, answers unchanged: ", 1, 1},
    };
    QVector<QByteArray> previous;
    for (const auto& step : kSteps) {
        if (*step.logged) {
            writeFile(path("rollout/stages"), step.stages);
            ::kill(pid_t(server.process.processId()), SIGHUP);
            QVERIFY(server.logged(step.logged));
        }
        const QVector<QByteArray> answers = versionAnswers(server, kClients);
        const double share = answers.count("302#3.0.2,301#3.0.1,") / double(kClients);
        QVERIFY2(share >= step.low && share <= step.high, qPrintable(QString::number(share)));
        QCOMPARE(answers.count("301#3.0.1,301#3.0.1,") + answers.count("302#3.0.2,301#3.0.1,"), kClients);
        // Widening keeps everyone who had the new version.
        for (int i = 0; i < previous.size() && share >= 0.2; ++i)
            QVERIFY(previous.at(i) != "302#3.0.2,301#3.0.1," || answers.at(i) == previous.at(i));
        previous = answers;
    }
}

// The same address gets the same answer on every retry and after a restart
// with the same key; another key makes another split.
void TestVxserver::cohortsFollowTheKey()
{
    const QString key = path("cohorts/cohort-key");
    const QStringList args = rolloutArgs("cohorts");
    auto server = std::make_unique<Server>();
    QVERIFY(server->start(args));
    const QVector<QByteArray> first = versionAnswers(*server, 200);
    server = std::make_unique<Server>();
    QVERIFY(server->start(args));
    for (int i = 0; i < 200; ++i) {
        QCOMPARE(queryFrom(client(i), QByteArray("3", 2), server->versions), first.at(i));
        QCOMPARE(queryFrom(client(i), QByteArray("3", 2), server->versions), first.at(i));
    }
    QVERIFY(!server->log.contains("made a new cohort key"));

    QVERIFY(QFile::remove(key));
    server = std::make_unique<Server>();
    QVERIFY(server->start(args));
    int moved = 0;
    for (int i = 0; i < 200; ++i)
        moved += queryFrom(client(i), QByteArray("3", 2), server->versions) != first.at(i);
    QVERIFY(moved > 0);
}

void TestVxserver::metricsCountWhatWasDone()
{
    writeFile(path("metrics/versions"), "301#3.0.1,301#3.0.1\n");
    writeFile(path("metrics/versions-302"), "302#3.0.2,301#3.0.1\n");
    writeFile(path("metrics/stages"), "50 versions-302\n");
    Server server;
    const QStringList limits =
        QStringLiteral("--udp-burst 3 --udp-rate 0.001 --metrics-port 0 --summary-interval 0.2")
            .split(QLatin1Char(' '));
    QVERIFY(
        server.start(QStringList{"--root", path("root"), "--http-port", "0", "--udp-port", "0",
                                 "--banner-port", "0", "--versions-file", path("metrics/versions"),
                                 "--rollout", path("metrics/stages"), "--cohort-key", path("metrics/key"),
                                 "--banner", "http://127.0.0.1/b.jpg,http://127.0.0.1/", "--bind", "0.0.0.0"}
                     + limits));
    const quint16 metricsPort = quint16(QRegularExpression("metrics 127.0.0.1:(\\d+)")
                                            .match(QString::fromUtf8(server.log))
                                            .captured(1)
                                            .toUInt());
    QVERIFY(metricsPort != 0);

    const int offered302 = sendCountedTraffic(server);
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY(server.logged("reloaded the answers"));
    writeFile(path("metrics/stages"), "fifty versions-302\n");
    ::kill(pid_t(server.process.processId()), SIGHUP);
    QVERIFY(server.logged("reload refused"));

    QNetworkAccessManager nam;
    const QString url = QStringLiteral("http://127.0.0.1:%1/metrics").arg(metricsPort);
    const QStringList expected{
        "vxserver_answers_total{kind=\"banner\"} 2",
        "vxserver_answers_total{kind=\"news\"} 1",
        "vxserver_answers_total{kind=\"version\"} 41",
        QStringLiteral("vxserver_version_offers_total{channel=\"stable\",version=\"302\"} %1")
            .arg(offered302),
        QStringLiteral("vxserver_version_offers_total{channel=\"stable\",version=\"301\"} %1")
            .arg(41 - offered302),
        "vxserver_version_offers_total{channel=\"beta\",version=\"301\"} 41",
        "vxserver_rate_limited_total{service=\"versions\"} 2",
        "vxserver_malformed_datagrams_total{service=\"versions\"} 1",
        "vxserver_malformed_datagrams_total{service=\"banner\"} 0",
        "vxserver_reloads_total{result=\"accepted\"} 1",
        "vxserver_reloads_total{result=\"refused\"} 1",
        "vxserver_rollout_percent{line=\"1\",offers=\"stable 302, beta 301\"} 50",
    };
    QVERIFY(offered302 > 5 && offered302 < 35);
    Fetched metrics = fetch(&nam, url);
    QCOMPARE(metrics.status, 200);
    for (const QString& line : expected)
        QVERIFY2(metrics.body.contains('\n' + line.toUtf8() + '\n'), qPrintable(line + "\n" + metrics.body));
    QCOMPARE(fetch(&nam, QStringLiteral("http://127.0.0.1:%1/other").arg(metricsPort)).status, 404);
    // Loopback only, whatever --bind says: another address of the machine
    // (127.0.0.2 here) has no metrics.
    QTcpSocket other;
    other.connectToHost(QHostAddress("127.0.0.2"), metricsPort);
    QVERIFY(!other.waitForConnected(kWaitMs));
    QCOMPARE(other.error(), QAbstractSocket::ConnectionRefusedError);
    QVERIFY(server.logged("summary: answers banner "));
}

QTEST_GUILESS_MAIN(TestVxserver)
#include "tst_vxserver.moc"
