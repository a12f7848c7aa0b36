// The scripted HTTP test server, as a real QNetworkAccessManager sees it: the
// download tests rely on each scripted behaviour reaching the client intact.

#include "support/httptestserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class TestHttpTestServer final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void scriptedResponsesInOrderThenDefault();
    void bodiesWithoutLengthCutOrWrong();
    void stallHoldsUntilReleased();

private:
    // Sends a GET and waits for its end.
    std::unique_ptr<QNetworkReply> get(const QString& path);

    std::unique_ptr<HttpTestServer> m_Server;
    std::unique_ptr<QNetworkAccessManager> m_Nam;
    const QByteArray m_Body = QByteArray(10000, 'x') + "end";
};

void TestHttpTestServer::init()
{
    m_Server = std::make_unique<HttpTestServer>();
    QVERIFY(m_Server->listen());
    m_Server->setFile("/f", m_Body);
    m_Nam = std::make_unique<QNetworkAccessManager>();
}

void TestHttpTestServer::cleanup()
{
    m_Nam.reset();
    m_Server.reset();
}

std::unique_ptr<QNetworkReply> TestHttpTestServer::get(const QString& path)
{
    std::unique_ptr<QNetworkReply> reply(m_Nam->get(QNetworkRequest(QUrl(m_Server->url(path)))));
    QSignalSpy done(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished())
        done.wait(10000);
    return reply;
}

void TestHttpTestServer::scriptedResponsesInOrderThenDefault()
{
    m_Server->enqueue("/f", HttpTestServer::Response::status(404));
    m_Server->enqueue("/f", HttpTestServer::Response::redirect("/elsewhere"));

    auto r1 = get("/f");
    QCOMPARE(r1->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);
    auto r2 = get("/f");
    QCOMPARE(r2->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 302);
    QCOMPARE(r2->rawHeader("Location"), QByteArray("/elsewhere"));
    auto r3 = get("/f");
    QCOMPARE(r3->error(), QNetworkReply::NoError);
    QCOMPARE(r3->header(QNetworkRequest::ContentLengthHeader).toLongLong(), m_Body.size());
    QCOMPARE(r3->readAll(), m_Body);

    m_Server->setDefault("/f", HttpTestServer::Response::status(500));
    auto r4 = get("/f");
    QCOMPARE(r4->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 500);
    auto r5 = get("/missing");
    QCOMPARE(r5->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 404);

    QCOMPARE(m_Server->requestCount("/f"), 4);
    QCOMPARE(m_Server->requestPaths(),
             QStringList({"/f", "/f", "/f", "/f", "/missing"}));
}

void TestHttpTestServer::bodiesWithoutLengthCutOrWrong()
{
    // Close-delimited answers are defaults: the access manager may resend a
    // request whose connection the server closed.
    m_Server->setFile("/unknown", m_Body);
    m_Server->setDefault("/unknown", HttpTestServer::Response::noLength());
    auto unknown = get("/unknown");
    QCOMPARE(unknown->error(), QNetworkReply::NoError);
    QVERIFY(!unknown->header(QNetworkRequest::ContentLengthHeader).isValid());
    QCOMPARE(unknown->readAll(), m_Body);

    // The access manager does not always report the cut as an error; the
    // body is short either way.
    m_Server->setFile("/cut", m_Body);
    m_Server->setDefault("/cut", HttpTestServer::Response::closeEarly(100));
    auto cut = get("/cut");
    QCOMPARE(cut->readAll(), m_Body.left(100));

    m_Server->enqueue("/f", HttpTestServer::Response::wrongBytes());
    auto wrong = get("/f");
    const QByteArray bytes = wrong->readAll();
    QCOMPARE(bytes.size(), m_Body.size());
    for (int i = 0; i < bytes.size(); ++i)
        QVERIFY(bytes.at(i) != m_Body.at(i));
    QCOMPARE(get("/f")->readAll(), m_Body);

    m_Server->setFile("/empty", QByteArray());
    m_Server->setDefault("/empty", HttpTestServer::Response::wrongBytes());
    QCOMPARE(get("/empty")->readAll().size(), 1);
}

void TestHttpTestServer::stallHoldsUntilReleased()
{
    m_Server->enqueue("/f", HttpTestServer::Response::stall(1000));
    std::unique_ptr<QNetworkReply> reply(m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/f")))));
    QByteArray received;
    connect(reply.get(), &QNetworkReply::readyRead, this,
            [&] { received += reply->readAll(); });
    QTRY_COMPARE(received.size(), 1000);
    QCOMPARE(m_Server->stalledCount(), 1);
    QVERIFY(!reply->isFinished());

    m_Server->releaseStalls();
    QTRY_VERIFY(reply->isFinished());
    received += reply->readAll();
    QCOMPARE(received, m_Body);
    QCOMPARE(m_Server->stalledCount(), 0);

    // A client that hangs up ends the stall on the server side.
    m_Server->enqueue("/f", HttpTestServer::Response::stall(10));
    std::unique_ptr<QNetworkReply> abandoned(
        m_Nam->get(QNetworkRequest(QUrl(m_Server->url("/f")))));
    QTRY_COMPARE(m_Server->stalledCount(), 1);
    abandoned->abort();
    QTRY_COMPARE(m_Server->stalledCount(), 0);
}

QTEST_GUILESS_MAIN(TestHttpTestServer)
#include "tst_httptestserver.moc"
