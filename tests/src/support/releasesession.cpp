#include "releasesession.h"

#include "configuration.h"
#include "httptestserver.h"
#include "testfiles.h"
#include "testkey.h"
#include "updateengine.h"
#include "vxpatch/packed_file.h"

#include <QDirIterator>
#include <QtTest>

namespace {

const int kSessionDeadlineMs = 60000;
// Making the patch of the sample library takes seconds alone and over a
// minute on a machine busy with other builds; only a hung tool should fail.
const int kPublishDeadlineMs = 300000;

} // namespace

void publishRelease(const QString& product, const QString& newTree, const QString& oldTree,
                    const QString& outDir, const QStringList& options)
{
    QStringList arguments{"release", "--product", product, "--version", "2",
                          "--new",   newTree,     "--out", outDir};
    arguments << "--key" << TEST_PRIVATE_KEY << "--ed25519-key" << TEST_ED25519_KEY;
    if (!oldTree.isEmpty())
        arguments << "--old" << oldTree;
    QProcess tool;
    tool.start(QStringLiteral(VXPUBLISH_BINARY), arguments + options);
    QVERIFY(tool.waitForFinished(kPublishDeadlineMs));
    QVERIFY2(tool.exitCode() == 0, tool.readAllStandardError().constData());
}

QByteArray lzmaContainer(const QByteArray& content)
{
    QTemporaryDir dir;
    const QString plain = dir.filePath(QStringLiteral("plain"));
    const QString packed = dir.filePath(QStringLiteral("packed"));
    writeFile(plain, content);
    if (!vxpatch::PackLzmaFile(QFile::encodeName(plain).constData(), QFile::encodeName(packed).constData(),
                               false))
        return QByteArray();
    return readFile(packed);
}

void serveSignedIni(HttpTestServer* server, const QString& releasePath, const QString& iniName,
                    const QByteArray& ini)
{
    const QByteArray packed = lzmaContainer(ini);
    QVERIFY(!packed.isEmpty());
    server->setFile(releasePath + iniName + "._lzma2_", packed);
    server->setFile(releasePath + iniName + ".sig", signWithTestKey(ini));
    server->setFile(releasePath + iniName + ".signatures", modernSignaturesWithTestKeys(ini, {"a"}));
}

void serveTree(HttpTestServer* server, const QString& urlPath, const QString& dir)
{
    const QMap<QString, QByteArray> files = fileTree(dir);
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        server->setFile(urlPath + it.key(), it.value());
}

bool risesToOne(const QList<qreal>& values)
{
    for (int i = 1; i < values.size(); ++i) {
        if (values.at(i) < values.at(i - 1) - 1e-9)
            return false;
    }
    return !values.isEmpty() && qAbs(values.last() - 1.0) < 1e-9;
}

SessionResult runSession(const QStringList& args, int tickMs, const QString& cancelAt)
{
    SessionResult result;
    Configuration config;
    if (!config.parseCommandLineOptions(QStringList{"update"} + args))
        return result;
    UpdateEngine engine(&config, nullptr);
    QObject::connect(&engine, &UpdateEngine::message, &engine,
                     [&result, &engine, cancelAt](const QString& line) {
                         result.messages << line;
                         if (!cancelAt.isEmpty() && line == cancelAt)
                             engine.cancelUpdate();
                     });
    QObject::connect(&engine, &UpdateEngine::updateProgress, &engine,
                     [&result](qreal value) { result.progress << value; });
    QObject::connect(&engine, &UpdateEngine::error, &engine,
                     [&result](const QString& line) { result.errors << line; });
    QObject::connect(&engine, &UpdateEngine::fatalError, &engine,
                     [&result](const QString& line) { result.errors << line; });
    QSignalSpy finished(&engine, &UpdateEngine::updateFinished);
    QSignalSpy canceled(&engine, &UpdateEngine::updateCanceled);
    if (tickMs > 0)
        engine.setTickIntervalForTests(tickMs);
    if (!engine.initialize() || !engine.startUpdate())
        return result;
    QDeadlineTimer deadline(kSessionDeadlineMs);
    while (finished.isEmpty() && canceled.isEmpty() && !deadline.hasExpired())
        QTest::qWait(20);
    result.finished = finished.count() == 1 && canceled.isEmpty();
    return result;
}
