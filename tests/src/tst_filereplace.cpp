// Installing the replace list: directories, copies, unpacks and patches with
// their digest checks, permissions, and undoing the whole step on failure,
// which must bring replaced files back. Also the first step's build of the
// new updater in the temporary directory.
#include "support/testkey.h"
#include "support/testfiles.h"
#include "configuration.h"
#include "filereplacelisttaskspecification.h"
#include "updateinidata.h"
#include "updateselfunziptaskspecification.h"

#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {




unsigned modeOf(const QString& path)
{
    struct stat status;
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

} // namespace

class TestFileReplace final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void directoriesBeforeFilesAndWeights();
    void installsAllKindsAndVerifies();
    void failureUndoesEverythingAndRestoresReplacedFiles();
    void wrongPatchResultRestoresOriginal();
    void permissionsOfProgramsAndLibraries();
    void failedWriteNamesInstalledFileAndReason();
    void emptyListFinishes();

    void selfUnzipBuildsNewUpdater();
    void selfUnzipStartsNothingUnchecked();

private:
    int run(TaskSpecification* task, QStringList* messages);
    QString temp(const QString& name) const { return m_Config->tempDir() + "/" + name; }
    QString inst(const QString& name) const { return m_Config->installDir() + "/" + name; }
    QString pack(const QString& name, const QByteArray& data);

    std::unique_ptr<QTemporaryDir> m_Root;
    std::unique_ptr<Configuration> m_Config;
};

void TestFileReplace::init()
{
    m_Root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Root->isValid());
    QVERIFY(QDir().mkpath(m_Root->filePath("install")));
    QVERIFY(QDir().mkpath(m_Root->filePath("tmp")));
    m_Config = std::make_unique<Configuration>();
    QVERIFY(m_Config->initalizeStart(m_Root->filePath("tmp"), m_Root->filePath("install")));
}

int TestFileReplace::run(TaskSpecification* task, QStringList* messages)
{
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    connect(task, &TaskSpecification::message, this, [messages](const QString& text) { *messages << text; });
    task->execute();
    QDeadlineTimer deadline(20000);
    while (finished.count() + canceled.count() == 0 && !deadline.hasExpired())
        QTest::qWait(10);
    // A task ends exactly once; -1 marks a second end (or none).
    return finished.count() + canceled.count() == 1 ? task->taskState() : -1;
}

QString TestFileReplace::pack(const QString& name, const QByteArray& data)
{
    const QString plain = m_Root->filePath("plain_" + QFileInfo(name).fileName());
    writeFile(plain, data);
    const bool packed = vxpatch::PackLzmaFile(QFile::encodeName(plain).constData(),
                                              QFile::encodeName(temp(name)).constData(), false);
    return packed ? temp(name) : QString();
}

void TestFileReplace::directoriesBeforeFilesAndWeights()
{
    QVERIFY(QDir().mkpath(inst("a")));
    QList<ReplaceItem> items{{"a/x", "", "", ""}, {"a/b/y", "", "", ""}};
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    writeFile(temp("a/x"), "x");
    writeFile(temp("a/b/y"), "y");
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FINISHED));

    const QList<TaskSpecification*>& subs = task.subTasks();
    QCOMPARE(subs.size(), 3);
    QCOMPARE(subs.at(0)->metaObject()->className(), "DirCreateTaskSpecification");
    QCOMPARE(subs.at(0)->weight(), 0.1);
    QCOMPARE(subs.at(1)->weight(), 0.45);
    QCOMPARE(subs.at(2)->weight(), 0.45);
    QCOMPARE(readFile(inst("a/b/y")), QByteArray("y"));
    QCOMPARE(messages.first(), QStringLiteral("Starting file updates"));
}

void TestFileReplace::installsAllKindsAndVerifies()
{
    // A new plain file, a changed plain file, a packed file and a patched one.
    const QByteArray oldLib = sampleText("old library ", 400);
    const QByteArray newLib = sampleText("new library ", 420);
    writeFile(inst("lib/libdemo.so.5"), oldLib);
    writeFile(inst("readme.txt"), "old readme");
    writeFile(temp("readme.txt"), "new readme");
    writeFile(temp("notes.txt"), "notes");
    const QByteArray data = sampleText("data ", 1000);
    QVERIFY(!pack("data.bin._lzma2_", data).isEmpty());

    writeFile(m_Root->filePath("old.so"), oldLib);
    writeFile(m_Root->filePath("new.so"), newLib);
    QCOMPARE(vxpatch::CreateEnsemblePatch(QFile::encodeName(m_Root->filePath("old.so")).constData(),
                                          QFile::encodeName(m_Root->filePath("new.so")).constData(),
                                          QFile::encodeName(temp("libdemo.so.5_patch_")).constData()),
             vxpatch::STATUS_OK);

    QList<ReplaceItem> items{
        {"notes.txt", "", "", ""},
        {"readme.txt", "", "", ""},
        {"data.bin._lzma2_", sha512(data), "share/data.bin", "", quint64(data.size())},
        {"libdemo.so.5._lzma2_", sha512(newLib), "lib/libdemo.so.5", "libdemo.so.5_patch_", quint64(newLib.size())},
    };
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FINISHED));

    QCOMPARE(readFile(inst("notes.txt")), QByteArray("notes"));
    QCOMPARE(readFile(inst("readme.txt")), QByteArray("new readme"));
    QCOMPARE(readFile(inst("share/data.bin")), data);
    QCOMPARE(readFile(inst("lib/libdemo.so.5")), newLib);
    QVERIFY(messages.contains("Patching lib/libdemo.so.5"));
    QVERIFY(messages.contains("add/replace data.bin._lzma2_"));
}

void TestFileReplace::failureUndoesEverythingAndRestoresReplacedFiles()
{
    writeFile(inst("readme.txt"), "old readme");
    writeFile(temp("readme.txt"), "new readme");
    writeFile(temp("fresh/new.txt"), "new");
    writeFile(temp("broken._lzma2_"), "not a container");
    QList<ReplaceItem> items{
        {"readme.txt", "", "", ""},
        {"fresh/new.txt", "", "", ""},
        {"broken._lzma2_", sha512("x"), "deeper/dir/broken.bin", "", 1},
    };
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));

    QVERIFY(messages.contains("rolling back file updates"));
    // The new file is produced under its own name, but the user is told of
    // the installed one.
    QVERIFY(messages.contains("Could not unpack '" + temp("broken._lzma2_") + "' to '"
                              + inst("deeper/dir/broken.bin") + "'"));
    QCOMPARE(readFile(inst("readme.txt")), QByteArray("old readme"));
    QVERIFY(!QFileInfo::exists(inst("fresh")));
    QVERIFY(!QFileInfo::exists(inst("deeper")));
    QCOMPARE(QDir(inst("")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"readme.txt"});
}

void TestFileReplace::wrongPatchResultRestoresOriginal()
{
    const QByteArray oldLib = sampleText("old ", 300);
    writeFile(inst("libx.so"), oldLib);
    writeFile(m_Root->filePath("old.so"), oldLib);
    const QByteArray newLib = sampleText("new ", 300);
    writeFile(m_Root->filePath("new.so"), newLib);
    QCOMPARE(vxpatch::CreateEnsemblePatch(QFile::encodeName(m_Root->filePath("old.so")).constData(),
                                          QFile::encodeName(m_Root->filePath("new.so")).constData(),
                                          QFile::encodeName(temp("libx.so_patch_")).constData()),
             vxpatch::STATUS_OK);
    QList<ReplaceItem> items{{"libx.so._lzma2_", sha512("something else"), "libx.so", "libx.so_patch_", quint64(newLib.size())}};
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    // Named as the user knows it, not where the new content was made.
    QVERIFY(messages.contains("Signature check failed for " + inst("libx.so")));
    QCOMPARE(readFile(inst("libx.so")), oldLib);
}

void TestFileReplace::permissionsOfProgramsAndLibraries()
{
    // New files: a program (by name or content) may be run by all who may
    // read it; whatever the download's mode, never writable by others.
    const QStringList executable{"libfoo.so.5", "vx3client_linux_amd64", "update", "libbar.so", "tool.sh",
                                 "native"};
    const QStringList plain{"libfoo.so.5.1", "readme.txt"};
    QList<ReplaceItem> items;
    for (const QString& name : executable + plain) {
        writeFile(temp(name), name == "tool.sh" ? "#!/bin/sh\n" : name == "native" ? "\x7f\x45LF" : "x");
        QFile::setPermissions(temp(name), QFileDevice::Permissions(0x7777));
        items.append({name, "", "", ""});
    }
    const mode_t umask = ::umask(022);
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FINISHED));
    ::umask(umask);
    for (const QString& name : executable)
        QCOMPARE(modeOf(inst(name)), 0755u);
    for (const QString& name : plain)
        QCOMPARE(modeOf(inst(name)), 0644u);
}

void TestFileReplace::failedWriteNamesInstalledFileAndReason()
{
    // A file size limit fails the write as a full disk would, with a reason.
    QVERIFY(!pack("big.bin._lzma2_", QByteArray(1 << 20, 'x')).isEmpty());
    QList<ReplaceItem> items{{"big.bin._lzma2_", sha512(QByteArray(1 << 20, 'x')), "big.bin", "", 1 << 20}};
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    QStringList messages;
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit small{64 * 1024, limit.rlim_max};
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const int state = run(&task, &messages);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    QCOMPARE(state, int(TaskSpecification::TASK_FAILED));
    QVERIFY2(messages.contains("Could not unpack '" + temp("big.bin._lzma2_") + "' to '" + inst("big.bin")
                               + "': File too large"),
             qPrintable(messages.join('\n')));
    QVERIFY(!QFileInfo::exists(inst("big.bin")));
}

void TestFileReplace::emptyListFinishes()
{
    QList<ReplaceItem> items;
    FileReplaceListTaskSpecification task(&items, m_Config.get(), nullptr, 1.0);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(messages, QStringList{"Starting file updates"});
}

void TestFileReplace::selfUnzipBuildsNewUpdater()
{
    // The record the first step's engine wrote, which the new updater continues.
    QFile::remove(UpdateIniData::iniPath());
    UpdateIniData::modify(31, m_Config->tempDir(), m_Config->installDir(), Configuration::productName(false));
    const QString translations = QCoreApplication::applicationDirPath() + "/translations";
    writeFile(translations + "/update_de.qm", "de");
    writeFile(translations + "/update_fr.qm", "fr");
    writeFile(translations + "/qt_de.qm", "qt");
    writeFile(temp("translations/update_fr.qm"), "kept");

    const QByteArray program = sampleText("updater ", 500);
    QVERIFY(!pack("update._lzma2_", program).isEmpty());
    writeFile(temp("plain.txt"), "already in place");
    QList<ReplaceItem> items{{"update._lzma2_", sha512(program), "update", "", quint64(program.size())},
                             {"plain.txt", "", "", ""}};
    UpdateSelfUnzipTaskSpecification task(&items, m_Config.get(), nullptr, 0.4);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FINISHED));

    QCOMPARE(readFile(temp("update")), program);
    QCOMPARE(modeOf(temp("update")), 0755u);
    QCOMPARE(readFile(temp("translations/update_de.qm")), QByteArray("de"));
    QCOMPARE(readFile(temp("translations/update_fr.qm")), QByteArray("kept"));
    QVERIFY(!QFileInfo::exists(temp("translations/qt_de.qm")));
    QCOMPARE(task.doneFrac(), 0.4);

    QSettings record(temp("update.ini"), QSettings::IniFormat);
    QCOMPARE(record.value("current/version").toInt(), 31);
    QCOMPARE(record.value("current/type").toString(), QStringLiteral("client_linux_amd64"));
    QCOMPARE(record.value("current/vx3dir").toString(), m_Config->installDir());

    QDir(translations).removeRecursively();
    QFile::remove(UpdateIniData::iniPath());
}

void TestFileReplace::selfUnzipStartsNothingUnchecked()
{
    // A patch that the signed list names correctly but that yields another
    // program than the list's SHA-512 for the installed updater.
    const QByteArray installed = sampleText("updater 1 ", 400);
    writeFile(inst("update"), installed);
    writeFile(m_Root->filePath("old"), installed);
    // As long as the listed program, so that only its checksum tells them apart.
    writeFile(m_Root->filePath("other"), sampleText("updater X ", 400));
    QCOMPARE(vxpatch::CreateEnsemblePatch(QFile::encodeName(m_Root->filePath("old")).constData(),
                                          QFile::encodeName(m_Root->filePath("other")).constData(),
                                          QFile::encodeName(temp("update._patch_")).constData()),
             vxpatch::STATUS_OK);
    const QByteArray listed = sampleText("updater 2 ", 400);
    QList<ReplaceItem> items{{"update._lzma2_", sha512(listed), "update", "update._patch_", quint64(listed.size())}};
    UpdateSelfUnzipTaskSpecification task(&items, m_Config.get(), nullptr, 0.4);
    QSignalSpy errors(&task, &TaskSpecification::error);
    QStringList messages;
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    const QString text = "The new updater file update does not match the checksum in the signed update list; "
                         "the new updater is not started";
    QVERIFY(messages.contains(text));
    QCOMPARE(errors.count(), 1);
    QVERIFY(!QFileInfo::exists(temp("update")));
    QFile::remove(UpdateIniData::iniPath());
}

QTEST_GUILESS_MAIN(TestFileReplace)
#include "tst_filereplace.moc"
