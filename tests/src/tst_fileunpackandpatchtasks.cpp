// The unpack and patch file tasks on real files: gzip streams and plain files
// through the gzip unpacker, packed-file containers, ensemble patches made by
// the engine, the fail texts, what a failure leaves on disk, and the
// progress that large files report while they are worked on.

#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"

#include "support/testfiles.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

namespace {

bool writeGzip(const QString& path, const QByteArray& data)
{
    gzFile gz = gzopen(QFile::encodeName(path).constData(), "wb");
    if (!gz)
        return false;
    const bool ok =
        data.isEmpty() || gzwrite(gz, data.constData(), unsigned(data.size())) == data.size();
    return gzclose(gz) == Z_OK && ok;
}

// Compressible but not trivial: several chunks of the unpacker's buffer.
QByteArray sampleContent(int size)
{
    QByteArray data;
    data.reserve(size);
    for (int i = 0; data.size() < size; ++i)
        data += QByteArray::number(i * 7919 % 104729) + (i % 13 ? ' ' : '\n');
    data.truncate(size);
    return data;
}

constexpr quint64 kNoLimit = ~quint64(0);

struct Outcome
{
    bool finished = false;
    QStringList messages;
};

// Runs a task to its end.
Outcome run(TaskSpecification* task)
{
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QSignalSpy messages(task, &TaskSpecification::message);
    task->execute();
    Outcome outcome;
    if (!QTest::qWaitFor([&] { return finished.size() + canceled.size() > 0; }, 30000))
        return outcome;
    outcome.finished = finished.size() == 1 && canceled.isEmpty();
    for (const QList<QVariant>& args : qAsConst(messages))
        outcome.messages.append(args.at(0).toString());
    return outcome;
}

} // namespace

class TestFileUnpackAndPatchTasks final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void gzipUnpackedIntoExistingFileKeepsItsMode();
    void plainFileCopiedByGzipUnpacker_data();
    void plainFileCopiedByGzipUnpacker();
    void gzipFailures_data();
    void gzipFailures();
    void lzma2ContainerUnpacked();
    void corruptLzma2ContainerFails();
    void patchApplied();
    void failedPatchLeavesNothing_data();
    void failedPatchLeavesNothing();
    void outputBeyondListedSizeRefused_data();
    void outputBeyondListedSizeRefused();
    void largeFilesReportProgressAsTheyGo_data();
    void largeFilesReportProgressAsTheyGo();

private:
    QString path(const char* name) const { return m_Dir->path() + '/' + name; }

    QScopedPointer<QTemporaryDir> m_Dir;
};

void TestFileUnpackAndPatchTasks::init()
{
    m_Dir.reset(new QTemporaryDir);
    QVERIFY(m_Dir->isValid());
}

void TestFileUnpackAndPatchTasks::gzipUnpackedIntoExistingFileKeepsItsMode()
{
    const QByteArray content = sampleContent(100000);
    QVERIFY(writeGzip(path("lib.so.gz"), content));
    writeFile(path("lib.so"), sampleContent(300000));
    const QFile::Permissions mode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
        | QFile::ReadGroup | QFile::ExeGroup;
    QVERIFY(QFile::setPermissions(path("lib.so"), mode));

    RollbackDataList journal;
    FileUnpackTaskSpecification_zip task(&journal, path("lib.so.gz"), path("lib.so"), nullptr, 1.0,
                                         quint64(content.size()));
    QVERIFY(run(&task).finished);
    QCOMPARE(readFile(path("lib.so")), content);
    // Qt adds the "user" flags of whoever runs the test; only the mode bits count.
    const QFile::Permissions user = QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QCOMPARE(QFile::permissions(path("lib.so")) & ~user, mode);
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).op(), int(RollbackData::FILE_CREATE));
    QCOMPARE(journal.at(0).path(), path("lib.so"));
}

void TestFileUnpackAndPatchTasks::plainFileCopiedByGzipUnpacker_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<bool>("gzip");
    QTest::addColumn<QByteArray>("expected");
    // Starts like gzip magic but is not a gzip stream.
    const QByteArray binary = QByteArray("\x1f\x00\x8b", 3) + sampleContent(40000);
    QTest::newRow("uncompressed file") << binary << false << binary;
    QTest::newRow("empty gzip") << QByteArray() << true << QByteArray();
    QTest::newRow("empty plain file") << QByteArray() << false << QByteArray();
}

void TestFileUnpackAndPatchTasks::plainFileCopiedByGzipUnpacker()
{
    QFETCH(QByteArray, source);
    QFETCH(bool, gzip);
    QFETCH(QByteArray, expected);
    if (gzip)
        QVERIFY(writeGzip(path("src"), source));
    else
        writeFile(path("src"), source);

    FileUnpackTaskSpecification_zip task(nullptr, path("src"), path("dst"), nullptr, 1.0,
                                         quint64(expected.size()));
    QVERIFY(run(&task).finished);
    QCOMPARE(readFile(path("dst")), expected);
}

void TestFileUnpackAndPatchTasks::gzipFailures_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("destination");
    QTest::addColumn<bool>("destinationKept");
    QTest::newRow("destination directory missing") << "good.gz" << "no/such/dir/out" << false;
    QTest::newRow("source missing, destination removed") << "missing.gz" << "out" << false;
    QTest::newRow("truncated gzip, destination removed") << "truncated.gz" << "out" << false;
}

void TestFileUnpackAndPatchTasks::gzipFailures()
{
    QFETCH(QString, source);
    QFETCH(QString, destination);
    const QString src = m_Dir->path() + '/' + source;
    const QString dst = m_Dir->path() + '/' + destination;
    QVERIFY(writeGzip(path("good.gz"), sampleContent(50000)));
    QVERIFY(writeGzip(path("full.gz"), sampleContent(200000)));
    writeFile(path("truncated.gz"), readFile(path("full.gz")).left(20000));
    writeFile(path("out"), "an earlier file");

    RollbackDataList journal;
    FileUnpackTaskSpecification_zip task(&journal, src, dst, nullptr, 1.0, kNoLimit);
    const Outcome outcome = run(&task);
    QVERIFY(!outcome.finished);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(outcome.messages, QStringList{QString("Could not unzip '%1' to '%2'").arg(src, dst)});
    QVERIFY(!QFile::exists(dst));
    QVERIFY(journal.isEmpty());
}

void TestFileUnpackAndPatchTasks::lzma2ContainerUnpacked()
{
    const QByteArray content = sampleContent(70000);
    writeFile(path("plain"), content);
    QVERIFY(vxpatch::PackLzmaFile(QFile::encodeName(path("plain")).constData(),
                                  QFile::encodeName(path("packed._lzma2_")).constData(), false));

    FileUnpackTaskSpecification_lzma2 task(nullptr, path("packed._lzma2_"), path("unpacked"),
                                           nullptr, 1.0, quint64(content.size()));
    QVERIFY(run(&task).finished);
    QCOMPARE(readFile(path("unpacked")), content);
}

void TestFileUnpackAndPatchTasks::corruptLzma2ContainerFails()
{
    // A gzip file is no container.
    QVERIFY(writeGzip(path("packed._lzma2_"), sampleContent(1000)));
    RollbackDataList journal;
    FileUnpackTaskSpecification_lzma2 task(&journal, path("packed._lzma2_"), path("unpacked"),
                                           nullptr, 1.0, kNoLimit);
    const Outcome outcome = run(&task);
    QVERIFY(!outcome.finished);
    QCOMPARE(outcome.messages, QStringList{QString("Could not unpack '%1' to '%2'")
                                               .arg(path("packed._lzma2_"), path("unpacked"))});
    QVERIFY(!QFile::exists(path("unpacked")));
    QVERIFY(journal.isEmpty());
}

void TestFileUnpackAndPatchTasks::patchApplied()
{
    QByteArray oldContent = sampleContent(60000);
    QByteArray newContent = oldContent;
    newContent.insert(30000, "a change in the middle");
    newContent.replace(100, 10, "0123456789");
    writeFile(path("old"), oldContent);
    writeFile(path("new"), newContent);
    QCOMPARE(int(vxpatch::CreateEnsemblePatch(QFile::encodeName(path("old")).constData(),
                                              QFile::encodeName(path("new")).constData(),
                                              QFile::encodeName(path("app_patch_")).constData())),
             int(vxpatch::STATUS_OK));

    RollbackDataList journal;
    FileTaskSpecification_patch task(&journal, path("old"), path("app_patch_"), path("result"),
                                     nullptr, 1.0, quint64(newContent.size()));
    QVERIFY(run(&task).finished);
    QCOMPARE(readFile(path("result")), newContent);
    QCOMPARE(readFile(path("old")), oldContent);
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).path(), path("result"));
}

void TestFileUnpackAndPatchTasks::failedPatchLeavesNothing_data()
{
    QTest::addColumn<QString>("patchFile");
    QTest::addColumn<bool>("oldChanged");
    QTest::addColumn<QStringList>("debugLines");
    QTest::newRow("not a patch") << "nopatch" << false
                                 << QStringList{"ApplyEnsemblePatch status = 5", "Not an ensemble patch"};
    // One byte of the installed file differs from the one the patch was made
    // from: its checksum tells, before anything is written.
    QTest::newRow("old file changed since the patch was made")
        << "app_patch_" << true << QStringList{"ApplyEnsemblePatch status = 8"};
}

// A patch that cannot be applied fails with its fail text and leaves no
// output, no half-written file beside it and no journal record.
void TestFileUnpackAndPatchTasks::failedPatchLeavesNothing()
{
    QFETCH(QString, patchFile);
    QFETCH(bool, oldChanged);
    QFETCH(QStringList, debugLines);
    QByteArray oldContent = sampleContent(60000);
    QByteArray newContent = oldContent;
    newContent.insert(30000, "a change in the middle");
    writeFile(path("old"), oldContent);
    writeFile(path("new"), newContent);
    QCOMPARE(int(vxpatch::CreateEnsemblePatch(QFile::encodeName(path("old")).constData(),
                                              QFile::encodeName(path("new")).constData(),
                                              QFile::encodeName(path("app_patch_")).constData())),
             int(vxpatch::STATUS_OK));
    writeFile(path("nopatch"), "this is no patch at all");
    if (oldChanged) {
        oldContent[40000] = char(oldContent[40000] ^ 1);
        writeFile(path("old"), oldContent);
    }
    const QStringList before =
        QDir(m_Dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    RollbackDataList journal;
    const QString patch = m_Dir->path() + '/' + patchFile;
    FileTaskSpecification_patch task(&journal, path("old"), patch, path("result"), nullptr, 1.0, kNoLimit);
    for (const QString& line : qAsConst(debugLines))
        QTest::ignoreMessage(QtDebugMsg, qPrintable(line));
    const Outcome outcome = run(&task);
    QVERIFY(!outcome.finished);
    QCOMPARE(outcome.messages, QStringList{QString("Could not patch '%1' to '%2'")
                                               .arg(path("old"), path("result"))});
    QCOMPARE(QDir(m_Dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    QCOMPARE(readFile(path("old")), oldContent);
    QVERIFY(journal.isEmpty());
}

void TestFileUnpackAndPatchTasks::outputBeyondListedSizeRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("LZMA2 container") << "lzma2";
    QTest::newRow("gzip file") << "gzip";
    QTest::newRow("ensemble patch") << "patch";
}

// The installed size the product ini lists bounds every output: one byte more
// fails the task with a message that says why, and leaves no output behind.
void TestFileUnpackAndPatchTasks::outputBeyondListedSizeRefused()
{
    QFETCH(QString, kind);
    const QByteArray content = sampleContent(90000);
    const quint64 listed = quint64(content.size()) - 1;
    writeFile(path("plain"), content);
    writeFile(path("old"), sampleContent(50000));
    QVERIFY(writeGzip(path("src.gz"), content));
    QVERIFY(vxpatch::PackLzmaFile(QFile::encodeName(path("plain")).constData(),
                                  QFile::encodeName(path("src._lzma2_")).constData(), false));
    QCOMPARE(int(vxpatch::CreateEnsemblePatch(QFile::encodeName(path("old")).constData(),
                                              QFile::encodeName(path("plain")).constData(),
                                              QFile::encodeName(path("app_patch_")).constData())),
             int(vxpatch::STATUS_OK));

    QScopedPointer<TaskSpecification> task;
    QString refused;
    if (kind == "lzma2") {
        task.reset(new FileUnpackTaskSpecification_lzma2(nullptr, path("src._lzma2_"), path("out"),
                                                         nullptr, 1.0, listed));
        refused = QString("Refused '%1': it would unpack to more than %2 bytes").arg(path("src._lzma2_"));
    } else if (kind == "gzip") {
        task.reset(new FileUnpackTaskSpecification_zip(nullptr, path("src.gz"), path("out"), nullptr,
                                                       1.0, listed));
        refused = QString("Refused '%1': it would unpack to more than %2 bytes").arg(path("src.gz"));
    } else {
        task.reset(new FileTaskSpecification_patch(nullptr, path("old"), path("app_patch_"),
                                                   path("out"), nullptr, 1.0, listed));
        refused = QString("Refused '%1': the patched file would be larger than %2 bytes")
                      .arg(path("app_patch_"));
    }
    const Outcome outcome = run(task.data());
    QVERIFY(!outcome.finished);
    QVERIFY2(outcome.messages.contains(refused.arg(listed)), qPrintable(outcome.messages.join('|')));
    QVERIFY(!QFile::exists(path("out")));
}

void TestFileUnpackAndPatchTasks::largeFilesReportProgressAsTheyGo_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("container") << "unpack";
    QTest::newRow("patch") << "patch";
    QTest::newRow("gzip") << "unzip";
}

void TestFileUnpackAndPatchTasks::largeFilesReportProgressAsTheyGo()
{
    QFETCH(QString, kind);
    // 24 MiB: several of the engine's reporting steps. Noise for the patch
    // (quick to diff), sparse bytes for the packers (quick to compress).
    const int size = 24 << 20;
    QByteArray content(size, '\0');
    quint32 state = 1;
    for (int i = 0; i < size; i += kind == "patch" ? 1 : 4096) {
        state = state * 1103515245u + 12345u;
        content[i] = char(state >> 24);
    }
    writeFile(path("content"), content);

    QScopedPointer<TaskSpecification> task;
    if (kind == "unpack") {
        QVERIFY(vxpatch::PackLzmaFile(QFile::encodeName(path("content")).constData(),
                                      QFile::encodeName(path("input")).constData(), false));
        task.reset(new FileUnpackTaskSpecification_lzma2(nullptr, path("input"), path("out"), nullptr, 0.5,
                                                         quint64(size)));
    } else if (kind == "patch") {
        QByteArray old = content;
        for (int i = 0; i < size; i += 1 << 16)
            old[i] = char(old[i] ^ 1);
        writeFile(path("old"), old);
        QCOMPARE(vxpatch::CreateEnsemblePatch(QFile::encodeName(path("old")).constData(),
                                              QFile::encodeName(path("content")).constData(),
                                              QFile::encodeName(path("input")).constData()),
                 vxpatch::STATUS_OK);
        task.reset(new FileTaskSpecification_patch(nullptr, path("old"), path("input"), path("out"), nullptr,
                                                   0.5, quint64(size)));
    } else {
        QVERIFY(writeGzip(path("input"), content));
        task.reset(new FileUnpackTaskSpecification_zip(nullptr, path("input"), path("out"), nullptr, 0.5,
                                                       quint64(size)));
    }
    QSignalSpy progress(task.data(), &TaskSpecification::updateProgress);
    QVERIFY(run(task.data()).finished);
    QCOMPARE(readFile(path("out")), content);

    // Weighted, never backwards, several steps on the way, at the end only
    // when the work ended.
    QList<qreal> values;
    for (const QList<QVariant>& args : qAsConst(progress))
        values.append(args.at(0).toReal());
    int between = 0;
    for (int i = 0; i < values.size(); ++i) {
        QVERIFY2(i == 0 || values.at(i) >= values.at(i - 1), qPrintable(QString::number(i)));
        between += values.at(i) > 0 && values.at(i) < 0.5 ? 1 : 0;
    }
    QVERIFY2(between >= 3, qPrintable(QString::number(between)));
    QCOMPARE(values.last(), 0.5);
}

QTEST_GUILESS_MAIN(TestFileUnpackAndPatchTasks)
#include "tst_fileunpackandpatchtasks.moc"
