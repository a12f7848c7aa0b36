// File checks in the background: SHA-512 comparison and the RSA signature in
// the ".sig" file next to the data, with the order of checkDone, messages and
// the end signal. RSA cases sign with the committed test key, so they need a
// build that embeds its public half.

#include "checksignaturetaskspecification.h"
#include "crypto.h"
#include "support/testfiles.h"
#include "support/testkey.h"
#include "updatepublickey.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// checkDone, messages and the end signal in the order they came.
class CheckLog final : public QObject
{
    Q_OBJECT

public:
    explicit CheckLog(CheckSignatureTaskSpecification* task)
    {
        connect(task, &CheckSignatureTaskSpecification::checkDone, this,
                [this, task](bool pass, CheckSignatureTaskSpecification* sender) {
                    QVERIFY(sender == task);
                    m_Events.append(pass ? QStringLiteral("pass") : QStringLiteral("fail"));
                });
        connect(task, &TaskSpecification::message, this,
                [this](const QString& text) { m_Events.append("message:" + text); });
        connect(task, &TaskSpecification::finished, this,
                [this] { m_Events.append(QStringLiteral("finished")); });
        connect(task, &TaskSpecification::canceled, this,
                [this] { m_Events.append(QStringLiteral("canceled")); });
    }

    bool ended() const
    {
        return m_Events.contains(QStringLiteral("finished"))
            || m_Events.contains(QStringLiteral("canceled"));
    }

    QStringList m_Events;
};

bool buildEmbedsTestKey()
{
    const QByteArray testKey = readFile(QStringLiteral(VX_TEST_KEY_DIR "/public.der"));
    return !testKey.isEmpty()
        && QByteArray::fromRawData(reinterpret_cast<const char*>(g_UpdatePublicKey),
                                   testKey.size())
               == testKey;
}

// Runs one check to its end and returns what it reported.
QStringList runCheck(const QString& path, const QString& hash, bool failOnMismatch,
                     int* endState = nullptr)
{
    CheckSignatureTaskSpecification task(path, hash, failOnMismatch, nullptr, 1.0);
    CheckLog log(&task);
    task.execute();
    if (!QTest::qWaitFor([&log] { return log.ended(); }, 10000))
        return {QStringLiteral("no end")};
    if (endState)
        *endState = task.taskState();
    return log.m_Events;
}

} // namespace

class TestCheckSignatureTaskSpecification final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void hashIgnoresLetterCase();
    void emptyFileWithItsHashPasses();
    void hashMismatchFailsOnlyWhenAsked();
    void unreadableFileIsNamed();
    void signatureOfTheFilePasses();
    void signatureWithExtraByteFails();
    void missingSignatureFileIsNamed();
    void signatureOfOtherDataFails();

private:
    QTemporaryDir m_Dir;
};

void TestCheckSignatureTaskSpecification::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    initCrypto();
}

void TestCheckSignatureTaskSpecification::hashIgnoresLetterCase()
{
    const QString path = m_Dir.filePath(QStringLiteral("data"));
    writeFile(path, "some content");
    const QString hash = sha512("some content");
    QVERIFY(hash != hash.toUpper());
    const QStringList passed{QStringLiteral("pass"), QStringLiteral("finished")};
    QCOMPARE(runCheck(path, hash, true), passed);
    QCOMPARE(runCheck(path, hash.toUpper(), true), passed);
}

void TestCheckSignatureTaskSpecification::emptyFileWithItsHashPasses()
{
    const QString path = m_Dir.filePath(QStringLiteral("empty"));
    writeFile(path, QByteArray());
    QCOMPARE(runCheck(path, sha512(QByteArray()), true),
             (QStringList{QStringLiteral("pass"), QStringLiteral("finished")}));
}

void TestCheckSignatureTaskSpecification::hashMismatchFailsOnlyWhenAsked()
{
    const QString path = m_Dir.filePath(QStringLiteral("changed"));
    writeFile(path, "new content");
    const QString hash = sha512("old content");
    const QString failText = QStringLiteral("message:Signature check failed for %1").arg(path);

    int state = -1;
    QCOMPARE(runCheck(path, hash, true, &state),
             (QStringList{failText, QStringLiteral("fail"), QStringLiteral("canceled")}));
    QCOMPARE(state, int(TaskSpecification::TASK_FAILED));

    QCOMPARE(runCheck(path, hash, false, &state),
             (QStringList{failText, QStringLiteral("fail"), QStringLiteral("finished")}));
    QCOMPARE(state, int(TaskSpecification::TASK_FINISHED));
}

void TestCheckSignatureTaskSpecification::unreadableFileIsNamed()
{
    const QString path = m_Dir.filePath(QStringLiteral("absent"));
    QCOMPARE(runCheck(path, sha512(QByteArray()), false),
             (QStringList{QStringLiteral("message:Could not open file %1 for reading").arg(path),
                          QStringLiteral("message:Signature check failed for %1").arg(path),
                          QStringLiteral("fail"), QStringLiteral("finished")}));
}

void TestCheckSignatureTaskSpecification::signatureOfTheFilePasses()
{
    if (!buildEmbedsTestKey())
        QSKIP("this build embeds another public key (VX_PUBLIC_KEY_FILE)");
    const QString path = m_Dir.filePath(QStringLiteral("product.ini"));
    writeFile(path, "[files]\nupdate=1\n");
    writeFile(path + ".sig", signWithTestKey("[files]\nupdate=1\n"));
    QCOMPARE(runCheck(path, QString(), true),
             (QStringList{QStringLiteral("pass"), QStringLiteral("finished")}));

    // An empty data file can be signed and checked too.
    const QString empty = m_Dir.filePath(QStringLiteral("empty.ini"));
    writeFile(empty, QByteArray());
    writeFile(empty + ".sig", signWithTestKey(QByteArray()));
    QCOMPARE(runCheck(empty, QString(), true),
             (QStringList{QStringLiteral("pass"), QStringLiteral("finished")}));
}

void TestCheckSignatureTaskSpecification::signatureWithExtraByteFails()
{
    const QString path = m_Dir.filePath(QStringLiteral("long.ini"));
    writeFile(path, "content");
    writeFile(path + ".sig", signWithTestKey("content") + '\0');
    int state = -1;
    QCOMPARE(runCheck(path, QString(), true, &state),
             (QStringList{QStringLiteral("message:Signature check failed for %1").arg(path),
                          QStringLiteral("fail"), QStringLiteral("canceled")}));
    QCOMPARE(state, int(TaskSpecification::TASK_FAILED));
}

void TestCheckSignatureTaskSpecification::missingSignatureFileIsNamed()
{
    const QString path = m_Dir.filePath(QStringLiteral("unsigned.ini"));
    writeFile(path, "content");
    QCOMPARE(runCheck(path, QString(), false),
             (QStringList{QStringLiteral("message:Could not open file %1 for reading").arg(path + ".sig"),
                          QStringLiteral("message:Signature check failed for %1").arg(path),
                          QStringLiteral("fail"), QStringLiteral("finished")}));
}

void TestCheckSignatureTaskSpecification::signatureOfOtherDataFails()
{
    const QString path = m_Dir.filePath(QStringLiteral("tampered.ini"));
    writeFile(path, "version=2");
    writeFile(path + ".sig", signWithTestKey("version=1"));
    QCOMPARE(runCheck(path, QString(), false),
             (QStringList{QStringLiteral("message:Signature check failed for %1").arg(path),
                          QStringLiteral("fail"), QStringLiteral("finished")}));
}

QTEST_GUILESS_MAIN(TestCheckSignatureTaskSpecification)
#include "tst_checksignaturetaskspecification.moc"
