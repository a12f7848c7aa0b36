// The product ini download against a scripted HTTP server on 127.0.0.1: the
// names of both steps, cached files on the first attempt only, a bad
// signature answered by a fresh download, the retry limit, the single end, a
// cancel during failing checks, and the binding of a signed ini to the
// version and product asked for, and the modern signatures judged after the
// RSA check. Inis are packed with the engine and signed with the committed
// test keys.

#include "configuration.h"
#include "crypto.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "inidownloadtaskspecification.h"
#include "support/httptestserver.h"
#include "support/releasesession.h"
#include "support/testkey.h"
#include "vxpatch/packed_file.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kClientIni = QStringLiteral("vx3_client_linux_amd64.ini");
const QString kUpdaterIni = QStringLiteral("update_linux_amd64.ini");
const QByteArray kIni = "version=42\nproduct=client_linux_amd64\n[client]\nvx3client=abc::3\n";

int countOf(const QStringList& messages, const QString& text)
{
    return int(messages.count(text));
}

} // namespace

class TestIniDownload final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void fetchesAndVerifiesTheStepsIni_data();
    void fetchesAndVerifiesTheStepsIni();
    void cachedFilesUsedOnFirstAttemptOnly_data();
    void cachedFilesUsedOnFirstAttemptOnly();
    void badSignatureRetriedWithFreshDownload();
    void failsOnceAfterTheRetryLimit();
    void cancelDuringFailingChecksStopsRetrying_data();
    void cancelDuringFailingChecksStopsRetrying();
    void signedIniBoundToVersionAndProduct_data();
    void signedIniBoundToVersionAndProduct();
    void retryDelayDoublesUpToAMinute();
    void unsizedDownloadsAreCapped_data();
    void unsizedDownloadsAreCapped();
    void iniUnpackingBeyondItsCapIsRefused();
    void modernSignaturesJudgedAfterTheRsaCheck_data();
    void modernSignaturesJudgedAfterTheRsaCheck();

private:
    bool configure(bool client);
    void publish(const QString& iniName, const QByteArray& ini);
    QString remote(const QString& name) const { return "/base/42/" + name; }
    QString temp(const QString& name) const { return m_Root->path() + "/temp/" + name; }
    // Counts the task's ends and collects its messages, then starts it.
    void start(IniDownloadTaskSpecification* task);
    // Waits until the task ended and its last check's own end was handled.
    void expectOneEnd(int deadlineMs);
    void runToEnd(IniDownloadTaskSpecification* task)
    {
        start(task);
        expectOneEnd(600000);
    }

    QScopedPointer<QTemporaryDir> m_Root;
    QScopedPointer<HttpTestServer> m_Server;
    QScopedPointer<Configuration> m_Config;
    QNetworkAccessManager m_Nam;
    int m_Ends = 0;
    QStringList m_Messages;
};

void TestIniDownload::initTestCase()
{
    initCrypto();
    // Retries at once; the wait itself is tested with a delay set by the test.
    IniDownloadTaskSpecification::setRetryBaseDelayMs(0);
}

void TestIniDownload::init()
{
    m_Root.reset(new QTemporaryDir);
    QVERIFY(m_Root->isValid());
    QVERIFY(QDir().mkpath(m_Root->path() + "/config"));
    QVERIFY(QDir().mkpath(m_Root->path() + "/temp"));
    qputenv("VX3_CONFIG_DIR", QFile::encodeName(m_Root->path() + "/config/"));
    m_Server.reset(new HttpTestServer);
    QVERIFY(m_Server->listen());
    QVERIFY(configure(true));
    m_Ends = 0;
    m_Messages.clear();
}

bool TestIniDownload::configure(bool client)
{
    m_Config.reset(new Configuration);
    const QStringList args = client
        ? QStringList{"update", "--clientupdate", "client_linux_amd64", "42"}
        : QStringList{"update", "update_linux_amd64", "42"};
    const bool ok = m_Config->parseCommandLineOptions(args)
        && m_Config->initalizeStart(m_Root->path() + "/temp", m_Root->path() + "/install");
    g_UpdateBaseUrl = m_Server->url("/base/");
    return ok;
}

void TestIniDownload::publish(const QString& iniName, const QByteArray& ini)
{
    serveSignedIni(m_Server.data(), remote(QString()), iniName, ini);
}

void TestIniDownload::start(IniDownloadTaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this, [this] { ++m_Ends; });
    connect(task, &TaskSpecification::canceled, this, [this] { ++m_Ends; });
    connect(task, &TaskSpecification::message, this,
            [this](const QString& text) { m_Messages.append(text); });
    task->execute();
}

void TestIniDownload::expectOneEnd(int deadlineMs)
{
    QTRY_VERIFY_WITH_TIMEOUT(m_Ends > 0, deadlineMs);
    // A check sub-task ends right after reporting its verdict, and the
    // composed task learns of it through a queued start of the next sub-task:
    // deliver that before counting ends.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    QCOMPARE(m_Ends, 1);
}

void TestIniDownload::fetchesAndVerifiesTheStepsIni_data()
{
    QTest::addColumn<bool>("client");
    QTest::addColumn<QString>("iniName");
    QTest::newRow("second step") << true << kClientIni;
    QTest::newRow("first step") << false << kUpdaterIni;
}

void TestIniDownload::fetchesAndVerifiesTheStepsIni()
{
    QFETCH(bool, client);
    QFETCH(QString, iniName);
    QVERIFY(configure(client));
    const QByteArray ini = client ? kIni : QByteArray("[update]\nupdate=abc::3\n");
    publish(iniName, ini);

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 0.1);
    runToEnd(&task);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(m_Messages.first(), QString("Download / check product ini"));
    QCOMPARE(m_Server->requestPaths(), QStringList({remote(iniName + "._lzma2_"), remote(iniName + ".sig"),
                                                    remote(iniName + ".signatures")}));
    QCOMPARE(readFile(temp(iniName)), ini);
    QCOMPARE(task.retryCount(), 0);
    QCOMPARE(task.doneFrac(), 0.1);
}

void TestIniDownload::cachedFilesUsedOnFirstAttemptOnly_data()
{
    QTest::addColumn<bool>("iniCached");
    QTest::addColumn<bool>("sigCached");
    QTest::addColumn<QStringList>("requested");
    QTest::addColumn<qreal>("checkWeight");
    QTest::newRow("both cached") << true << true << QStringList() << 1.0;
    QTest::newRow("ini cached") << true << false << QStringList{kClientIni + ".sig"} << 0.6667;
    QTest::newRow("signature cached")
        << false << true << QStringList{kClientIni + "._lzma2_"} << 0.6667;
}

void TestIniDownload::cachedFilesUsedOnFirstAttemptOnly()
{
    QFETCH(bool, iniCached);
    QFETCH(bool, sigCached);
    QFETCH(QStringList, requested);
    QFETCH(qreal, checkWeight);
    publish(kClientIni, kIni);
    if (iniCached)
        writeFile(temp(kClientIni), kIni);
    if (sigCached)
        writeFile(temp(kClientIni + ".sig"), signWithTestKey(kIni));

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
    QStringList paths;
    for (const QString& name : qAsConst(requested))
        paths.append(remote(name));
    paths.append(remote(kClientIni + ".signatures"));
    QCOMPARE(m_Server->requestPaths(), paths);
    QCOMPARE(task.subTasks().last()->weight(), checkWeight);
    QCOMPARE(readFile(temp(kClientIni)), kIni);
}

void TestIniDownload::badSignatureRetriedWithFreshDownload()
{
    // A cached ini that fails its check is not used again: the retry fetches
    // and unpacks both files anew, even though the signature was cached too.
    publish(kClientIni, kIni);
    writeFile(temp(kClientIni), kIni + "tampered=1\n");
    writeFile(temp(kClientIni + ".sig"), signWithTestKey(kIni));
    // And the first fresh signature arrives damaged.
    m_Server->enqueue(remote(kClientIni + ".sig"), HttpTestServer::Response::wrongBytes());

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(task.retryCount(), 2);
    QCOMPARE(m_Server->requestCount(remote(kClientIni + "._lzma2_")), 2);
    QCOMPARE(m_Server->requestCount(remote(kClientIni + ".sig")), 2);
    QCOMPARE(countOf(m_Messages, "Could not verify the product ini file. Retrying"), 2);
    QCOMPARE(countOf(m_Messages, "Signature check failed for " + temp(kClientIni)), 2);
    QCOMPARE(readFile(temp(kClientIni)), kIni);
}

void TestIniDownload::failsOnceAfterTheRetryLimit()
{
    publish(kClientIni, kIni);
    m_Server->setDefault(remote(kClientIni + ".sig"), HttpTestServer::Response::wrongBytes());

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    runToEnd(&task);
    QCOMPARE(canceled.size(), 1);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(countOf(m_Messages, "Could not verify the product ini file. Retrying"), 6);
    QCOMPARE(m_Messages.last(), QString("Could not verify the product ini file: its signature does not match "
                                        "(7 attempts in 0 s). Aborting"));
    QCOMPARE(m_Server->requestCount(remote(kClientIni + ".sig")), 7);
}

void TestIniDownload::cancelDuringFailingChecksStopsRetrying_data()
{
    QTest::addColumn<QString>("cancelOn");
    QTest::addColumn<int>("baseDelayMs");
    // While the check runs its verdict is already bad ...
    QTest::newRow("check failing") << QString("Signature check failed for %1") << 0;
    // ... right before the retry would reset the task ...
    QTest::newRow("retry announced")
        << QString("Could not verify the product ini file. Retrying") << 0;
    // ... and during the wait before the next attempt, which it ends at once.
    QTest::newRow("waiting") << QString("Next attempt in 60 seconds") << 60000;
    QTest::newRow("waiting a second") << QString("Next attempt in 1 second") << 1000;
}

void TestIniDownload::cancelDuringFailingChecksStopsRetrying()
{
    QFETCH(QString, cancelOn);
    QFETCH(int, baseDelayMs);
    if (cancelOn.contains("%1"))
        cancelOn = cancelOn.arg(temp(kClientIni));
    publish(kClientIni, kIni);
    m_Server->setDefault(remote(kClientIni + ".sig"), HttpTestServer::Response::wrongBytes());
    IniDownloadTaskSpecification::setRetryBaseDelayMs(baseDelayMs);

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    int stateAfterCancel = -1;
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text == cancelOn && !task.cancelRequested()) {
            task.cancel();
            stateAfterCancel = task.taskState();
        }
    });
    runToEnd(&task);
    IniDownloadTaskSpecification::setRetryBaseDelayMs(0);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_ABORTED));
    if (baseDelayMs > 0)
        QCOMPARE(stateAfterCancel, int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(m_Server->requestCount(remote(kClientIni + ".sig")), 1);
    QVERIFY(countOf(m_Messages, "Could not verify the product ini file. Retrying") <= 1);
}

void TestIniDownload::signedIniBoundToVersionAndProduct_data()
{
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<QString>("refusal");  // empty: accepted at once
    QTest::newRow("older version")
        << QByteArray("version=41\nproduct=client_linux_amd64\n[client]\n")
        << "Product ini is for version 41, expected version 42";
    QTest::newRow("other product")
        << QByteArray("version=42\nproduct=update_linux_amd64\n[update]\n")
        << "Product ini is for product update_linux_amd64, expected product client_linux_amd64";
    QTest::newRow("matching") << kIni << QString();
    QTest::newRow("without the keys") << QByteArray("[client]\nvx3client=abc::3\n") << QString();
}

void TestIniDownload::signedIniBoundToVersionAndProduct()
{
    QFETCH(QByteArray, served);
    QFETCH(QString, refusal);
    publish(kClientIni, served);

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    // The publisher puts the right ini in place once the wrong one was refused.
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text == "Could not verify the product ini file. Retrying")
            publish(kClientIni, kIni);
    });
    runToEnd(&task);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
    if (refusal.isEmpty()) {
        QCOMPARE(task.retryCount(), 0);
        QCOMPARE(readFile(temp(kClientIni)), served);
    } else {
        QCOMPARE(countOf(m_Messages, refusal), 1);
        QCOMPARE(task.retryCount(), 1);
        QCOMPARE(m_Server->requestCount(remote(kClientIni + "._lzma2_")), 2);
        QCOMPARE(readFile(temp(kClientIni)), kIni);
    }
}

void TestIniDownload::retryDelayDoublesUpToAMinute()
{
    IniDownloadTaskSpecification::setRetryBaseDelayMs(1000);
    QList<int> delays;
    for (int retry : {1, 2, 3, 6, 7, 8, 1000})
        delays.append(IniDownloadTaskSpecification::retryDelayMs(retry));
    IniDownloadTaskSpecification::setRetryBaseDelayMs(0);
    QCOMPARE(delays, QList<int>({1000, 2000, 4000, 32000, 60000, 60000, 60000}));
}

void TestIniDownload::unsizedDownloadsAreCapped_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<qint64>("limit");
    QTest::newRow("packed ini") << kClientIni + "._lzma2_"
                                << IniDownloadTaskSpecification::kMaxPackedIniSize;
    QTest::newRow("signature") << kClientIni + ".sig"
                               << IniDownloadTaskSpecification::kMaxSignatureSize;
}

void TestIniDownload::unsizedDownloadsAreCapped()
{
    QFETCH(QString, name);
    QFETCH(qint64, limit);
    publish(kClientIni, kIni);
    m_Server->setFile(remote(name), QByteArray(int(limit) + 1, 'x'));

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    runToEnd(&task);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(countOf(m_Messages, QString("%1 is announced with %2 bytes, more than the limit of %3 bytes")
                                     .arg(name).arg(limit + 1).arg(limit)),
             5);
    QVERIFY(!QFile::exists(temp(name)));
}

void TestIniDownload::iniUnpackingBeyondItsCapIsRefused()
{
    // One byte over the cap: 64 MiB of zeros pack into about 10 KB.
    const quint64 cap = IniDownloadTaskSpecification::kMaxUnpackedIniSize;
    QTemporaryDir dir;
    QFile zeros(dir.path() + "/zeros");
    QVERIFY(zeros.open(QIODevice::WriteOnly) && zeros.resize(qint64(cap) + 1));
    zeros.close();
    const QByteArray plain = QFile::encodeName(zeros.fileName());
    const QByteArray packed = QFile::encodeName(dir.path() + "/zeros._lzma2_");
    QVERIFY(vxpatch::PackLzmaFile(plain.constData(), packed.constData(), false));
    publish(kClientIni, kIni);
    m_Server->setFile(remote(kClientIni + "._lzma2_"), readFile(dir.path() + "/zeros._lzma2_"));

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    start(&task);
    // Waits for the unpack, not for the task: unpacked past the cap, the
    // zeros would fail their check and start the next of many attempts, each
    // unpacking them again.
    const auto unpacks = task.findChildren<FileUnpackTaskSpecification_lzma2*>();
    QCOMPARE(unpacks.size(), 1);
    QSignalSpy unpacked(unpacks.first(), &TaskSpecification::finished);
    QSignalSpy refused(unpacks.first(), &TaskSpecification::canceled);
    QVERIFY2(QTest::qWaitFor([&] { return unpacked.size() + refused.size() > 0; }, 120000),
             "the download or the unpack did not end");
    if (!unpacked.isEmpty()) {
        task.cancel();
        (void)QTest::qWaitFor([this] { return m_Ends > 0; }, 60000);
        QFAIL("the ini was unpacked past its cap");
    }
    // The task ends with its refused unpack.
    expectOneEnd(5000);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(countOf(m_Messages, QString("Refused '%1': it would unpack to more than %2 bytes")
                                     .arg(temp(kClientIni + "._lzma2_"))
                                     .arg(cap)),
             1);
    QVERIFY(!QFile::exists(temp(kClientIni)));
}

void TestIniDownload::modernSignaturesJudgedAfterTheRsaCheck_data()
{
    // What "<ini>.signatures" first holds (null: a 404); a retried download
    // gets the signature of trusted key a. `pinned`: the installation's trust
    // record requires modern signatures.
    QTest::addColumn<QByteArray>("served");
    QTest::addColumn<bool>("pinned");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QString>("line");
    const int finished = TaskSpecification::TASK_FINISHED;
    const QString trusted = "The product ini is signed by the trusted key " + testKeyId("a");
    const QString invalid = "The Ed25519 signature of the product ini is not valid: ";
    QTest::newRow("trusted key") << modernSignaturesWithTestKeys(kIni, {"a"}) << false << finished << 0
                                 << trusted;
    QTest::newRow("outgoing and incoming key")
        << modernSignaturesWithTestKeys(kIni, {"b", "a"}) << false << finished << 0 << trusted;
    QTest::newRow("trusted key, pinned")
        << modernSignaturesWithTestKeys(kIni, {"a"}) << true << finished << 0 << trusted;
    QTest::newRow("none")
        << QByteArray() << false << finished << 0
        << "The product ini has no Ed25519 signature; accepted, as releases made before modern "
           "signatures are";
    QTest::newRow("none, pinned") << QByteArray() << true << int(TaskSpecification::TASK_FAILED) << 0
                                  << "Refused: the product ini is not signed with a current key (it has no "
                                     "Ed25519 signature); this installation requires it, since it installed "
                                     "a release that was";
    QTest::newRow("unknown or revoked key only")
        << modernSignaturesWithTestKeys(kIni, {"b"}) << true << int(TaskSpecification::TASK_FAILED) << 0
        << "Refused: the product ini is signed only by keys this updater does not trust (" + testKeyId("b")
               + ")";
    QTest::newRow("signature of other data")
        << modernSignaturesWithTestKeys(kIni + "x=1\n", {"a"}) << false << finished << 1
        << invalid
               + "the signature by the trusted key does not match the "
                 "product ini";
    QTest::newRow("malformed") << QByteArray("voxaro-signatures 1\ned25519 00 11\n") << false << finished << 1
                               << invalid
                                      + "line 2 of the signature list holds a malformed Ed25519 key id or "
                                        "signature";
}

void TestIniDownload::modernSignaturesJudgedAfterTheRsaCheck()
{
    QFETCH(QByteArray, served);
    QFETCH(bool, pinned);
    QFETCH(int, state);
    QFETCH(int, retries);
    QFETCH(QString, line);
    const int finished = TaskSpecification::TASK_FINISHED;
    publish(kClientIni, kIni);
    if (pinned) {
        QVERIFY(QDir().mkpath(m_Root->path() + "/install"));
        writeFile(m_Root->path() + "/install/.vx3trust", "VXTRUST\t1\nmodern-signature\t1\n");
    }
    const QString modern = remote(kClientIni + ".signatures");
    if (served.isNull())
        m_Server->setDefault(modern, HttpTestServer::Response::status(404));
    else
        m_Server->setFile(modern, served);

    IniDownloadTaskSpecification task(&m_Nam, m_Config.data(), nullptr, 1.0);
    connect(&task, &TaskSpecification::message, this, [&](const QString& text) {
        if (text == "Could not verify the product ini file. Retrying")
            publish(kClientIni, kIni);
    });
    runToEnd(&task);
    QCOMPARE(task.taskState(), state);
    QCOMPARE(task.retryCount(), retries);
    QCOMPARE(countOf(m_Messages, line), 1);
    // A 404 is no failed attempt of the download.
    QCOMPARE(m_Server->requestCount(modern), 1 + retries);
    // What step two pins when it commits: retries get a valid signature.
    QCOMPARE(m_Config->modernSignatureVerified(), state == finished && !served.isNull());
}

QTEST_GUILESS_MAIN(TestIniDownload)
#include "tst_inidownloadtaskspecification.moc"
