// One download against the scripted HTTP server on 127.0.0.1: retries and
// their limit, the stall time-out driven by polls as the engine's timer would
// make them, progress with known, unknown and zero sizes, cancellation,
// bodies of another size than expected, announced or allowed, and resuming a
// broken transfer only where the server sends the rest of the same file.
// Bodies sent in chunks or gzip-encoded arrive as the file itself.

#include "configuration.h"
#include "downloadtaskspecification.h"
#include "support/httptestserver.h"
#include "support/logcapture.h"
#include "support/testfiles.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

const QString kName = QStringLiteral("sec/file.bin");
const QString kPath = QStringLiteral("/base/7/sec/file.bin");

QByteArray sampleBody(int size)
{
    QByteArray body(size, '\0');
    for (int i = 0; i < size; ++i)
        body[i] = char(i * 7 + i / 251);
    return body;
}

struct Poll
{
    quint64 done = 0;
    quint64 total = 0;
    quint64 newBytes = 0;
    bool downloading = false;
};

Poll poll(TaskSpecification* task)
{
    Poll p;
    task->pollDownloadStatus(&p.done, &p.total, &p.newBytes, &p.downloading);
    return p;
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList list;
    for (const QList<QVariant>& args : spy)
        list.append(args.at(0).toString());
    return list;
}

QList<qreal> values(const QSignalSpy& spy)
{
    QList<qreal> list;
    for (const QList<QVariant>& args : spy)
        list.append(args.at(0).toReal());
    return list;
}

} // namespace

class TestDownloadTaskSpecification final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void notFoundFiveAttemptsThenFailsWithoutFile();
    void redirectIsAFailedAttemptNotFollowed();
    void stallTimesOutAfterSixteenPollsAndRestartsFromZero();
    void dripFedTransferFailsLikeAStall();
    void progress_data();
    void progress();
    void cancelRemovesPartialFileAndAborts();
    void unwritableTargetFailsWithoutRequest();
    void bodyIsTakenWholeOrRefused_data();
    void bodyIsTakenWholeOrRefused();
    void stalledTransferResumesOnlyTheSameFile_data();
    void stalledTransferResumesOnlyTheSameFile();

private:
    // A download of kName into the temporary directory, with spies.
    DownloadTaskSpecification* makeTask(qint64 expectedSize, const QString& path = QString());
    // Runs the event loop until the task has ended.
    bool waitForEnd(DownloadTaskSpecification* task);

    std::unique_ptr<QTemporaryDir> m_Temp;
    std::unique_ptr<HttpTestServer> m_Server;
    std::unique_ptr<QNetworkAccessManager> m_Nam;
    std::unique_ptr<DownloadTaskSpecification> m_Task;
    std::unique_ptr<QSignalSpy> m_Messages;
    std::unique_ptr<QSignalSpy> m_Progress;
    QString m_Target;
};

void TestDownloadTaskSpecification::init()
{
    m_Temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Temp->isValid());
    m_Server = std::make_unique<HttpTestServer>();
    QVERIFY(m_Server->listen());
    g_UpdateBaseUrl = m_Server->url(QStringLiteral("/base/"));
    m_Nam = std::make_unique<QNetworkAccessManager>();
    m_Target = m_Temp->filePath(QStringLiteral("file.bin"));
}

void TestDownloadTaskSpecification::cleanup()
{
    m_Messages.reset();
    m_Progress.reset();
    m_Task.reset();
    m_Nam.reset();
    m_Server.reset();
    m_Temp.reset();
}

DownloadTaskSpecification* TestDownloadTaskSpecification::makeTask(qint64 expectedSize,
                                                                   const QString& path)
{
    m_Task = std::make_unique<DownloadTaskSpecification>(
        m_Nam.get(), kName, 7, path.isEmpty() ? m_Target : path, expectedSize, 1.0, nullptr);
    m_Messages = std::make_unique<QSignalSpy>(m_Task.get(), &TaskSpecification::message);
    m_Progress = std::make_unique<QSignalSpy>(m_Task.get(), &TaskSpecification::updateProgress);
    return m_Task.get();
}

bool TestDownloadTaskSpecification::waitForEnd(DownloadTaskSpecification* task)
{
    QDeadlineTimer deadline(20000);
    while (task->taskState() == TaskSpecification::TASK_RUNNING && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return task->taskState() != TaskSpecification::TASK_RUNNING;
}

void TestDownloadTaskSpecification::notFoundFiveAttemptsThenFailsWithoutFile()
{
    DownloadTaskSpecification* task = makeTask(100);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    LogCapture log;
    task->execute();
    QVERIFY(waitForEnd(task));
    // Qt warns when a reply's error is raised twice (by the status and by an abort).
    QCoreApplication::sendPostedEvents();
    QCOMPARE(log.count(QStringLiteral("must only be called once")), 0);

    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(m_Server->requestCount(kPath), 5);
    QStringList expected{QStringLiteral("Downloading sec/file.bin")};
    for (int i = 0; i < 5; ++i)
        expected.append(QStringLiteral("sec/file.bin returned 404"));
    expected.append(QStringLiteral("Unable to download sec/file.bin"));
    QCOMPARE(texts(*m_Messages), expected);
    QVERIFY(!QFileInfo::exists(m_Target));
}

void TestDownloadTaskSpecification::redirectIsAFailedAttemptNotFollowed()
{
    const QByteArray body = sampleBody(3000);
    m_Server->setFile(kPath, body);
    m_Server->setFile(QStringLiteral("/elsewhere"), QByteArray("not this"));
    m_Server->enqueue(kPath, HttpTestServer::Response::redirect("/elsewhere"));
    DownloadTaskSpecification* task = makeTask(body.size());
    task->execute();
    QVERIFY(waitForEnd(task));

    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(m_Server->requestCount(QStringLiteral("/elsewhere")), 0);
    QCOMPARE(texts(*m_Messages),
             QStringList({QStringLiteral("Downloading sec/file.bin"),
                          QStringLiteral("sec/file.bin returned 302"),
                          QStringLiteral("Downloading sec/file.bin finished")}));
    QFile file(m_Target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), body);
}

void TestDownloadTaskSpecification::stallTimesOutAfterSixteenPollsAndRestartsFromZero()
{
    const QByteArray body = sampleBody(100000);
    m_Server->setFile(kPath, body);
    m_Server->enqueue(kPath, HttpTestServer::Response::stall(5000));
    DownloadTaskSpecification* task = makeTask(body.size());
    task->execute();
    QTRY_COMPARE(QFileInfo(m_Target).size(), qint64(5000));

    Poll first = poll(task);
    QCOMPARE(first.done, quint64(5000));
    QCOMPARE(first.total, quint64(body.size()));
    QCOMPARE(first.newBytes, quint64(5000));
    QVERIFY(first.downloading);
    for (int i = 2; i <= 15; ++i) {
        const Poll p = poll(task);
        QVERIFY2(p.downloading, qPrintable(QString::number(i)));
        QCOMPARE(p.newBytes, quint64(0));
    }
    QVERIFY(!texts(*m_Messages).contains(QStringLiteral("file sec/file.bin timed out")));

    const Poll sixteenth = poll(task);
    QVERIFY(!sixteenth.downloading);
    QCOMPARE(texts(*m_Messages).last(), QStringLiteral("file sec/file.bin timed out"));
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_RUNNING));
    const Poll restarted = poll(task);
    QCOMPARE(restarted.done, quint64(0));
    QCOMPARE(restarted.newBytes, quint64(0));
    QVERIFY(restarted.downloading);
    QCOMPARE(task->doneFrac(), 0.0);

    QVERIFY(waitForEnd(task));
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(m_Server->requestCount(kPath), 2);
    QFile file(m_Target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), body);
}

// One byte a poll keeps the silence rule quiet for ever; the rate window
// (shortened here from 60 polls to 20) ends the attempt like a stall.
void TestDownloadTaskSpecification::dripFedTransferFailsLikeAStall()
{
    DownloadTaskSpecification::setRateWindowPolls(20);
    const QByteArray body = sampleBody(100000);
    m_Server->setFile(kPath, body);
    m_Server->enqueue(kPath, HttpTestServer::Response::stall(10));
    DownloadTaskSpecification* task = makeTask(body.size());
    task->execute();
    QTRY_COMPARE(QFileInfo(m_Target).size(), qint64(10));
    for (int i = 1; i < 20; ++i) {
        m_Server->dripStalls(1);
        QTRY_COMPARE(QFileInfo(m_Target).size(), qint64(10 + i));
        QVERIFY2(poll(task).downloading, qPrintable(QString::number(i)));
    }
    m_Server->dripStalls(1);
    QTRY_COMPARE(QFileInfo(m_Target).size(), qint64(30));
    QVERIFY(!poll(task).downloading);
    DownloadTaskSpecification::setRateWindowPolls(0);
    QCOMPARE(texts(*m_Messages).last(),
             QStringLiteral("file sec/file.bin came too slowly: 30 bytes in 20 seconds, at least 1024 "
                            "bytes a second are needed"));
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_RUNNING)); // the next attempt runs
}

void TestDownloadTaskSpecification::progress_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<bool>("withLength");
    // Progress before the end: 1 always, 0 never, -1 depends on when the
    // access manager reports the total (it throttles those reports by time).
    QTest::addColumn<int>("progressBeforeEnd");

    QTest::newRow("known size") << 100000 << qint64(100000) << true << 1;
    QTest::newRow("unknown size, reported by the reply") << 100000 << qint64(-1) << true << -1;
    QTest::newRow("unknown size, never reported") << 100000 << qint64(-1) << false << 0;
    QTest::newRow("zero bytes") << 0 << qint64(0) << true << 0;
}

void TestDownloadTaskSpecification::progress()
{
    QFETCH(int, size);
    QFETCH(qint64, expectedSize);
    QFETCH(bool, withLength);
    QFETCH(int, progressBeforeEnd);

    const QByteArray body = sampleBody(size);
    m_Server->setFile(kPath, body);
    if (!withLength)
        m_Server->setDefault(kPath, HttpTestServer::Response::noLength());
    DownloadTaskSpecification* task = makeTask(expectedSize);
    task->execute();
    QVERIFY(waitForEnd(task));
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FINISHED));

    const QList<qreal> steps = values(*m_Progress);
    QVERIFY(!steps.isEmpty());
    QCOMPARE(steps.last(), 1.0);
    const QList<qreal> before = steps.mid(0, steps.size() - 1);
    if (progressBeforeEnd >= 0)
        QCOMPARE(!before.isEmpty(), progressBeforeEnd == 1);
    for (int i = 0; i < before.size(); ++i) {
        QVERIFY(before.at(i) > 0 && before.at(i) <= 1.0);
        if (i > 0)
            QVERIFY(before.at(i) >= before.at(i - 1));
    }
    if (expectedSize > 0) {
        // Known from the start: the first chunk (at most 4096 bytes) shows.
        QVERIFY(before.first() <= 4096.0 / size);
        QVERIFY(before.size() >= size / 4096);
    }
    QCOMPARE(QFileInfo(m_Target).size(), qint64(size));
    const Poll end = poll(task);
    QCOMPARE(end.done, quint64(size));
    // The reply's final report gives the total even without a length.
    QCOMPARE(end.total, quint64(size));
    QVERIFY(!end.downloading);
}

void TestDownloadTaskSpecification::cancelRemovesPartialFileAndAborts()
{
    const QByteArray body = sampleBody(50000);
    m_Server->setFile(kPath, body);
    m_Server->setDefault(kPath, HttpTestServer::Response::stall(7000));
    DownloadTaskSpecification* task = makeTask(body.size());
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    task->execute();
    QTRY_COMPARE(QFileInfo(m_Target).size(), qint64(7000));

    task->cancel();
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(canceled.count(), 1);
    QVERIFY(!QFileInfo::exists(m_Target));
    QCOMPARE(task->doneFrac(), 0.0);
    QTRY_COMPARE(m_Server->stalledCount(), 0);
    QCOMPARE(m_Server->requestCount(kPath), 1);
}

void TestDownloadTaskSpecification::unwritableTargetFailsWithoutRequest()
{
    m_Server->setFile(kPath, sampleBody(10));
    const QString target = m_Temp->filePath(QStringLiteral("missing/dir/file.bin"));
    DownloadTaskSpecification* task = makeTask(10, target);
    QSignalSpy errors(task, &TaskSpecification::error);
    task->execute();
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(texts(errors),
             QStringList{QStringLiteral("Unable to create file %1 for saving").arg(target)});
    QCoreApplication::processEvents();
    QCOMPARE(m_Server->requestCount(kPath), 0);
}

void TestDownloadTaskSpecification::bodyIsTakenWholeOrRefused_data()
{
    QTest::addColumn<int>("served");         // bytes of the file on the server
    // "length", "no length", "cut", "chunked", "gzip" or "gzip chunked"
    QTest::addColumn<QString>("response");
    QTest::addColumn<qint64>("expectedSize"); // listed size, -1 unknown
    QTest::addColumn<qint64>("sizeLimit");    // -1 none
    QTest::addColumn<QString>("reason");     // empty: the download succeeds

    QTest::newRow("cut short of its Content-Length")
        << 10000 << "cut" << qint64(-1) << qint64(-1) << "sec/file.bin ended after 3000 of 10000 bytes";
    QTest::newRow("cut short of the listed size")
        << 10000 << "cut" << qint64(10000) << qint64(-1) << "sec/file.bin ended after 3000 of 10000 bytes";
    QTest::newRow("shorter than listed, no length")
        << 5000 << "no length" << qint64(10000) << qint64(-1)
        << "sec/file.bin ended after 5000 of 10000 bytes";
    QTest::newRow("longer than listed, no length")
        << 10000 << "no length" << qint64(5000) << qint64(-1)
        << "sec/file.bin is longer than the expected 5000 bytes";
    QTest::newRow("announced other than listed")
        << 10000 << "length" << qint64(5000) << qint64(-1)
        << "sec/file.bin is announced with 10000 bytes instead of the 5000 expected";
    QTest::newRow("announced over the limit")
        << 10000 << "length" << qint64(-1) << qint64(9999)
        << "sec/file.bin is announced with 10000 bytes, more than the limit of 9999 bytes";
    QTest::newRow("over the limit, no length")
        << 10000 << "no length" << qint64(-1) << qint64(9999)
        << "sec/file.bin is larger than the limit of 9999 bytes";
    QTest::newRow("at the limit") << 10000 << "length" << qint64(-1) << qint64(10000) << QString();
    QTest::newRow("at the limit, no length")
        << 10000 << "no length" << qint64(-1) << qint64(10000) << QString();
    QTest::newRow("chunked") << 10000 << "chunked" << qint64(10000) << qint64(-1) << QString();
    QTest::newRow("chunked, size unknown") << 10000 << "chunked" << qint64(-1) << qint64(-1) << QString();
    QTest::newRow("chunked, longer than listed") << 10000 << "chunked" << qint64(5000) << qint64(-1)
                                                 << "sec/file.bin is longer than the expected 5000 bytes";
    QTest::newRow("gzip") << 10000 << "gzip" << qint64(10000) << qint64(-1) << QString();
    QTest::newRow("gzip, size unknown") << 10000 << "gzip" << qint64(-1) << qint64(-1) << QString();
    QTest::newRow("gzip chunked") << 10000 << "gzip chunked" << qint64(10000) << qint64(-1) << QString();
    // The limit counts the bytes of the file, not those on the wire.
    QTest::newRow("gzip, over the limit") << 10000 << "gzip" << qint64(-1) << qint64(9999)
                                          << "sec/file.bin is larger than the limit of 9999 bytes";
}

void TestDownloadTaskSpecification::bodyIsTakenWholeOrRefused()
{
    QFETCH(int, served);
    QFETCH(QString, response);
    QFETCH(qint64, expectedSize);
    QFETCH(qint64, sizeLimit);
    QFETCH(QString, reason);
    m_Server->setFile(kPath, sampleBody(served));
    // Defaults, not one-shot answers: the access manager may resend a request
    // whose connection closed, and the resend must meet the same answer.
    using R = HttpTestServer::Response;
    const QHash<QString, R> answers{{"length", R::serve()},       {"cut", R::closeEarly(3000)},
                                    {"no length", R::noLength()}, {"chunked", R::chunked()},
                                    {"gzip", R::gzipped()},       {"gzip chunked", R::chunked(true)}};
    m_Server->setDefault(kPath, answers.value(response));
    DownloadTaskSpecification* task = makeTask(expectedSize);
    task->setSizeLimit(sizeLimit);
    task->execute();
    QVERIFY(waitForEnd(task));

    if (reason.isEmpty()) {
        QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FINISHED));
        QCOMPARE(readFile(m_Target), sampleBody(served));
        return;
    }
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FAILED));
    const QStringList messages = texts(*m_Messages);
    QVERIFY2(messages.count(reason) == 5, qPrintable(messages.join('\n')));
    QCOMPARE(messages.last(), QStringLiteral("Unable to download sec/file.bin"));
    QVERIFY(!messages.contains(QStringLiteral("Downloading sec/file.bin finished")));
    QVERIFY(!QFileInfo::exists(m_Target));
}

void TestDownloadTaskSpecification::stalledTransferResumesOnlyTheSameFile_data()
{
    QTest::addColumn<QByteArray>("validator"); // header line naming the file
    QTest::addColumn<QString>("answer");       // to the attempt after the stall
    QTest::addColumn<QByteArray>("answerValidator");
    QTest::addColumn<bool>("changed"); // the server's file changes meanwhile
    QTest::addColumn<bool>("resumed"); // the next attempt asks for the rest
    QTest::addColumn<QString>("note"); // what the log says then
    QTest::addColumn<int>("requests");

    const QByteArray v1 = "ETag: \"v1\"";
    const QString resuming = "Resuming sec/file.bin at byte 5000";
    const QString changed = "sec/file.bin changed on the server; downloading it again from the start";
    QTest::newRow("the rest") << v1 << "206" << v1 << false << true << resuming << 2;
    QTest::newRow("by Last-Modified")
        << QByteArray("Last-Modified: Wed, 02 Dec 2026 10:00:00 GMT") << "206"
        << QByteArray("Last-Modified: Wed, 02 Dec 2026 10:00:00 GMT") << false << true << resuming << 2;
    QTest::newRow("206 starting elsewhere") << v1 << "206 skewed" << v1 << false << true << changed << 3;
    QTest::newRow("206 with the whole file") << v1 << "206 whole" << v1 << false << true << changed << 3;
    QTest::newRow("200, range ignored")
        << v1 << "200" << v1 << false << true << "sec/file.bin is sent from the start again" << 2;
    QTest::newRow("another file") << v1 << "206" << QByteArray("ETag: \"v2\"") << true << true << changed
                                  << 3;
    QTest::newRow("weak ETag") << QByteArray("ETag: W/\"v1\"") << "206" << QByteArray("ETag: W/\"v1\"")
                               << false << false << "file sec/file.bin timed out" << 2;
}

void TestDownloadTaskSpecification::stalledTransferResumesOnlyTheSameFile()
{
    QFETCH(QByteArray, validator);
    QFETCH(QString, answer);
    QFETCH(QByteArray, answerValidator);
    QFETCH(bool, changed);
    QFETCH(bool, resumed);
    QFETCH(QString, note);
    QFETCH(int, requests);
    auto header = [](const QByteArray& line, HttpTestServer::Response r) {
        const int colon = line.indexOf(':');
        return r.withHeader(line.left(colon), line.mid(colon + 2));
    };
    const QByteArray body = sampleBody(10000);
    m_Server->setFile(kPath, body);
    m_Server->enqueue(kPath, header(validator, HttpTestServer::Response::stall(5000)));
    using R = HttpTestServer::Response;
    const R later =
        answer == "200" ? R::serve() : R::ranged(answer == "206 skewed" ? 100 : 0, answer == "206 whole");
    m_Server->setDefault(kPath, header(answerValidator, later));
    DownloadTaskSpecification* task = makeTask(body.size());
    task->execute();
    QTRY_COMPARE(QFileInfo(m_Target).size(), qint64(5000));
    QByteArray latest = body;
    for (char& c : latest)
        c = changed ? char(c ^ 0x5a) : c;
    m_Server->setFile(kPath, latest);
    for (int i = 0; i < 16; ++i)
        poll(task);

    QVERIFY(waitForEnd(task));
    QCOMPARE(task->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(readFile(m_Target), latest);
    QVERIFY2(texts(*m_Messages).contains(note), qPrintable(texts(*m_Messages).join('\n')));
    QCOMPARE(m_Server->requestCount(kPath), requests);
    QCOMPARE(m_Server->requestHeader(1, "Range"), QByteArray(resumed ? "bytes=5000-" : ""));
    QCOMPARE(m_Server->requestHeader(1, "If-Range"),
             resumed ? validator.mid(validator.indexOf(':') + 2) : "");
    // Starting again means from byte 0.
    QCOMPARE(m_Server->requestHeader(2, "Range"), QByteArray());
}

QTEST_GUILESS_MAIN(TestDownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
