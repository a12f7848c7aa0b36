// The download list against the scripted HTTP server on 127.0.0.1: parallel
// downloads with a fixed total, the parallel limit set in update.ini, SHA-512 checks that reject and re-fetch
// corrupted files, cancellation of several running downloads, sibling
// failure, and the directories made for the downloads.

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "support/httptestserver.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>

#include <memory>

namespace {

QByteArray sampleBody(int size, int seed)
{
    QByteArray body(size, '\0');
    for (int i = 0; i < size; ++i)
        body[i] = char(i * 13 + seed);
    return body;
}

QString serverPath(const DownloadItem& item)
{
    return QStringLiteral("/base/7/") + item.section + QLatin1Char('/') + item.name;
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList list;
    for (const QList<QVariant>& args : spy)
        list.append(args.at(0).toString());
    return list;
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestDownloadFileListTaskSpecification final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void emptyListFinishesAtOnce();
    void sixOfTenAtATimeWithFixedTotal();
    void streamsFromUpdateIniLimitRequests_data();
    void streamsFromUpdateIniLimitRequests();
    void mismatchingDownloadIsFetchedAgain();
    void alwaysMismatchingDownloadFailsWithoutFile();
    void userCancelOfSeveralDownloadsAborts();
    void failedSiblingStopsTheOthers();
    void uncreatableDirectoryFailsTheList();

private:
    // Adds a listed file that the server serves with its right hash and size.
    DownloadItem& addFile(const QString& name, const QByteArray& body);
    DownloadFileListTaskSpecification* makeList();
    QString target(const DownloadItem& item) const;
    bool waitForEnd(TaskSpecification* task);

    std::unique_ptr<QTemporaryDir> m_Temp;
    std::unique_ptr<Configuration> m_Config;
    std::unique_ptr<HttpTestServer> m_Server;
    std::unique_ptr<QNetworkAccessManager> m_Nam;
    QList<DownloadItem> m_Downloads;
    QHash<QString, QByteArray> m_Bodies;
    std::unique_ptr<DownloadFileListTaskSpecification> m_List;
    std::unique_ptr<QSignalSpy> m_Messages;
};

void TestDownloadFileListTaskSpecification::init()
{
    m_Temp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Temp->isValid());
    // No update.ini of the machine may change the channel or version.
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Temp->path()));
    m_Config = std::make_unique<Configuration>();
    QVERIFY(m_Config->parseCommandLineOptions({"update", "vx3", "7"}));
    QVERIFY(m_Config->initalizeStart(m_Temp->path(), m_Temp->path()));
    QCOMPARE(m_Config->versionNr(), 7);
    QCOMPARE(m_Config->streams(), 6);
    m_Server = std::make_unique<HttpTestServer>();
    QVERIFY(m_Server->listen());
    g_UpdateBaseUrl = m_Server->url(QStringLiteral("/base/"));
    m_Nam = std::make_unique<QNetworkAccessManager>();
    m_Downloads.clear();
    m_Bodies.clear();
}

void TestDownloadFileListTaskSpecification::cleanup()
{
    // Checks still running on the pool read files in the temporary directory.
    QThreadPool::globalInstance()->waitForDone();
    m_Messages.reset();
    m_List.reset();
    m_Nam.reset();
    m_Server.reset();
    m_Config.reset();
    m_Temp.reset();
}

DownloadItem& TestDownloadFileListTaskSpecification::addFile(const QString& name,
                                                             const QByteArray& body)
{
    DownloadItem item;
    item.section = QStringLiteral("sec");
    item.name = name;
    item.hash = QString::fromLatin1(
        QCryptographicHash::hash(body, QCryptographicHash::Sha512).toHex());
    item.size = quint64(body.size());
    m_Server->setFile(serverPath(item), body);
    m_Bodies.insert(name, body);
    m_Downloads.append(item);
    return m_Downloads.last();
}

DownloadFileListTaskSpecification* TestDownloadFileListTaskSpecification::makeList()
{
    m_List = std::make_unique<DownloadFileListTaskSpecification>(&m_Downloads, m_Nam.get(),
                                                                 m_Config.get(), nullptr, 1.0);
    m_Messages = std::make_unique<QSignalSpy>(m_List.get(), &TaskSpecification::message);
    return m_List.get();
}

QString TestDownloadFileListTaskSpecification::target(const DownloadItem& item) const
{
    return m_Temp->path() + QLatin1Char('/') + item.name;
}

bool TestDownloadFileListTaskSpecification::waitForEnd(TaskSpecification* task)
{
    QDeadlineTimer deadline(30000);
    while (task->taskState() == TaskSpecification::TASK_RUNNING && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return task->taskState() != TaskSpecification::TASK_RUNNING;
}

void TestDownloadFileListTaskSpecification::emptyListFinishesAtOnce()
{
    DownloadFileListTaskSpecification* list = makeList();
    QSignalSpy finished(list, &TaskSpecification::finished);
    list->execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(texts(*m_Messages), QStringList{QStringLiteral("No downloads needed")});
}

void TestDownloadFileListTaskSpecification::sixOfTenAtATimeWithFixedTotal()
{
    quint64 total = 0;
    for (int i = 0; i < 10; ++i) {
        // One in a subdirectory of the temporary directory, made by the list.
        const QString name = i == 9 ? QStringLiteral("sub/dir/f9.bin")
                                    : QStringLiteral("f%1.bin").arg(i);
        const DownloadItem& item = addFile(name, sampleBody(20000 + 1000 * i, i));
        total += item.size;
        m_Server->enqueue(serverPath(item), HttpTestServer::Response::stall(100));
    }
    DownloadFileListTaskSpecification* list = makeList();
    list->execute();

    QTRY_COMPARE(m_Server->stalledCount(), 6);
    for (int i = 0; i < 6; ++i)
        QTRY_COMPARE(QFileInfo(target(m_Downloads.at(i))).size(), qint64(100));
    QCOMPARE(m_Server->requestPaths().size(), 6);
    for (int i = 0; i < 10; ++i)
        QCOMPARE(list->subTasks().at(i)->taskState(),
                 int(i < 6 ? TaskSpecification::TASK_RUNNING : TaskSpecification::TASK_IDLE));
    quint64 done = 0, reported = 0, added = 0;
    bool downloading = false;
    list->pollDownloadStatus(&done, &reported, &added, &downloading);
    QCOMPARE(reported, total);
    QCOMPARE(done, quint64(600));
    QCOMPARE(added, quint64(600));
    QVERIFY(downloading);

    // The first six end, the other four start (and stall); the total stays.
    m_Server->releaseStalls();
    QTRY_COMPARE(m_Server->stalledCount(), 4);
    done = reported = added = 0;
    list->pollDownloadStatus(&done, &reported, &added, &downloading);
    QCOMPARE(reported, total);
    m_Server->releaseStalls();

    QVERIFY(waitForEnd(list));
    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_FINISHED));
    for (const DownloadItem& item : qAsConst(m_Downloads))
        QCOMPARE(contents(target(item)), m_Bodies.value(item.name));
    QCOMPARE(texts(*m_Messages).first(), QStringLiteral("Downloading files"));
    QVERIFY(texts(*m_Messages).contains(QStringLiteral("Downloading sec/sub/dir/f9.bin finished")));
    QCOMPARE(list->doneFrac(), 1.0);
}

void TestDownloadFileListTaskSpecification::streamsFromUpdateIniLimitRequests_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<int>("parallel");
    QTest::newRow("one") << QByteArray("1") << 1;
    QTest::newRow("three") << QByteArray("3") << 3;
}

void TestDownloadFileListTaskSpecification::streamsFromUpdateIniLimitRequests()
{
    QFETCH(QByteArray, setting);
    QFETCH(int, parallel);
    // The network settings come from the update.ini next to the program.
    const QString ini = QCoreApplication::applicationDirPath() + QStringLiteral("/update.ini");
    writeFile(ini, "[update]\nstreams=" + setting + '\n');
    m_Config->readUpdateIniSettings();
    QFile::remove(ini);
    QCOMPARE(m_Config->streams(), parallel);

    for (int i = 0; i < parallel + 2; ++i) {
        const DownloadItem& item = addFile(QStringLiteral("s%1.bin").arg(i), sampleBody(5000, i));
        m_Server->setDefault(serverPath(item), HttpTestServer::Response::stall(100));
    }
    int most = 0;
    connect(m_Server.get(), &HttpTestServer::stalled, this,
            [this, &most] { most = qMax(most, m_Server->stalledCount()); });
    DownloadFileListTaskSpecification* list = makeList();
    list->execute();
    QTRY_COMPARE(m_Server->stalledCount(), parallel);
    QCOMPARE(m_Server->requestPaths().size(), parallel);
    for (int i = 0; i < parallel + 2; ++i)
        QCOMPARE(list->subTasks().at(i)->taskState(),
                 int(i < parallel ? TaskSpecification::TASK_RUNNING : TaskSpecification::TASK_IDLE));

    // Released requests end and make room for the rest, never more at once.
    QDeadlineTimer deadline(30000);
    while (list->taskState() == TaskSpecification::TASK_RUNNING && !deadline.hasExpired()) {
        m_Server->releaseStalls();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(most, parallel);
    QCOMPARE(m_Server->requestPaths().size(), parallel + 2);
}

void TestDownloadFileListTaskSpecification::mismatchingDownloadIsFetchedAgain()
{
    const DownloadItem item = addFile(QStringLiteral("a.bin"), sampleBody(30000, 1));
    m_Server->enqueue(serverPath(item), HttpTestServer::Response::wrongBytes());
    DownloadFileListTaskSpecification* list = makeList();
    list->execute();
    QVERIFY(waitForEnd(list));

    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(m_Server->requestCount(serverPath(item)), 2);
    QCOMPARE(contents(target(item)), m_Bodies.value(item.name));
    QCOMPARE(texts(*m_Messages),
             QStringList({QStringLiteral("Downloading files"),
                          QStringLiteral("Downloading sec/a.bin"),
                          QStringLiteral("Downloading sec/a.bin finished"),
                          QStringLiteral("Signature check failed for %1").arg(target(item)),
                          QStringLiteral("Downloading sec/a.bin"),
                          QStringLiteral("Downloading sec/a.bin finished")}));
}

void TestDownloadFileListTaskSpecification::alwaysMismatchingDownloadFailsWithoutFile()
{
    const DownloadItem item = addFile(QStringLiteral("a.bin"), sampleBody(30000, 1));
    m_Server->setDefault(serverPath(item), HttpTestServer::Response::wrongBytes());
    // One failed transfer first: it shares the five attempts with the mismatches.
    m_Server->enqueue(serverPath(item), HttpTestServer::Response::status(500));
    DownloadFileListTaskSpecification* list = makeList();
    QSignalSpy canceled(list, &TaskSpecification::canceled);
    list->execute();
    QVERIFY(waitForEnd(list));

    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(m_Server->requestCount(serverPath(item)), 5);
    const QStringList messages = texts(*m_Messages);
    QCOMPARE(messages.count(QStringLiteral("sec/a.bin returned 500")), 1);
    QCOMPARE(messages.count(QStringLiteral("Signature check failed for %1").arg(target(item))), 4);
    QCOMPARE(messages.last(), QStringLiteral("Unable to download sec/a.bin"));
    QVERIFY(!QFileInfo::exists(target(item)));
}

void TestDownloadFileListTaskSpecification::userCancelOfSeveralDownloadsAborts()
{
    for (int i = 0; i < 4; ++i) {
        const DownloadItem& item = addFile(QStringLiteral("c%1.bin").arg(i), sampleBody(50000, i));
        m_Server->setDefault(serverPath(item), HttpTestServer::Response::stall(2000));
    }
    DownloadFileListTaskSpecification* list = makeList();
    QSignalSpy canceled(list, &TaskSpecification::canceled);
    list->execute();
    for (const DownloadItem& item : qAsConst(m_Downloads))
        QTRY_COMPARE(QFileInfo(target(item)).size(), qint64(2000));

    list->cancel();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_ABORTED));
    for (TaskSpecification* file : list->subTasks()) {
        QCOMPARE(file->taskState(), int(TaskSpecification::TASK_ABORTED));
        auto* composed = qobject_cast<ComposedTaskSpecification*>(file);
        QVERIFY(composed);
        QCOMPARE(composed->subTasks().first()->taskState(), int(TaskSpecification::TASK_ABORTED));
    }
    for (const DownloadItem& item : qAsConst(m_Downloads))
        QVERIFY(!QFileInfo::exists(target(item)));
    for (const QString& message : texts(*m_Messages))
        QVERIFY2(!message.startsWith(QStringLiteral("Abort downloading")), qPrintable(message));
}

void TestDownloadFileListTaskSpecification::failedSiblingStopsTheOthers()
{
    const DownloadItem missing = addFile(QStringLiteral("missing.bin"), QByteArray("x"));
    m_Server->setDefault(serverPath(missing), HttpTestServer::Response::status(404));
    const DownloadItem slow = addFile(QStringLiteral("slow.bin"), sampleBody(50000, 3));
    m_Server->setDefault(serverPath(slow), HttpTestServer::Response::stall(1000));
    DownloadFileListTaskSpecification* list = makeList();
    list->execute();
    QVERIFY(waitForEnd(list));

    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_FAILED));
    const QStringList messages = texts(*m_Messages);
    QVERIFY(messages.contains(QStringLiteral("Unable to download sec/missing.bin")));
    QVERIFY(messages.contains(QStringLiteral("Abort downloading sec/slow.bin")));
    QCOMPARE(list->subTasks().at(1)->taskState(), int(TaskSpecification::TASK_FAILED));
    QVERIFY(!QFileInfo::exists(target(missing)));
    QVERIFY(!QFileInfo::exists(target(slow)));
}

void TestDownloadFileListTaskSpecification::uncreatableDirectoryFailsTheList()
{
    QFile blocker(m_Temp->filePath(QStringLiteral("sub")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    addFile(QStringLiteral("sub/x.bin"), QByteArray("x"));
    DownloadFileListTaskSpecification* list = makeList();
    list->execute();

    QCOMPARE(list->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(texts(*m_Messages),
             QStringList{QStringLiteral("Could not create dir %1/sub")
                             .arg(QDir(m_Temp->path()).canonicalPath())});
    QVERIFY(m_Server->requestPaths().isEmpty());
}

QTEST_GUILESS_MAIN(TestDownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
