// The leaf file operations of an installation: directory creation, copy,
// rename and deletion, with the journal records they leave.
#include "support/testfiles.h"
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"

#include <QtTest>

namespace {



// Runs `task` to its end; returns its final state and collects its messages.
int run(TaskSpecification* task, QStringList* messages = nullptr)
{
    QSignalSpy finished(task, &TaskSpecification::finished);
    QSignalSpy canceled(task, &TaskSpecification::canceled);
    QObject::connect(task, &TaskSpecification::message, task, [messages](const QString& text) {
        if (messages)
            *messages << text;
    });
    task->execute();
    if (finished.isEmpty() && canceled.isEmpty())
        finished.wait(10000);
    return task->taskState();
}

} // namespace

class TestFileOperations final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void createExistingDirRecordsNothing();
    void createRecordsEachLevelOutermostFirst();
    void createBelowAFileNamesTheFile();
    void createRelativeWithoutParentFails();

    void copyRecordsTheCopy();
    void copyNeverOverwrites();

    void renameAndUndo();
    void renameFailure();

    void deleteFileAndTrees();
    void deleteEmptiedDirectoryStopsAtBoundary();
    void strictDeleteReportsFailure();

private:
    std::unique_ptr<QTemporaryDir> m_Dir;
    QString path(const QString& relative) const { return m_Dir->filePath(relative); }
};

void TestFileOperations::init()
{
    m_Dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Dir->isValid());
}

void TestFileOperations::createExistingDirRecordsNothing()
{
    RollbackDataList journal;
    DirCreateTaskSpecification task(m_Dir->path(), &journal, nullptr, 1.0);
    QCOMPARE(run(&task), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(journal.isEmpty());
}

void TestFileOperations::createRecordsEachLevelOutermostFirst()
{
    QVERIFY(QDir().mkpath(path("a")));
    RollbackDataList journal;
    DirCreateTaskSpecification task(path("a/b/c"), &journal, nullptr, 1.0);
    QCOMPARE(run(&task), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(QFileInfo(path("a/b/c")).isDir());
    QCOMPARE(journal.size(), 2);
    QCOMPARE(journal.at(0).path(), path("a/b"));
    QCOMPARE(journal.at(1).path(), path("a/b/c"));
    QCOMPARE(journal.at(1).op(), int(RollbackData::DIR_CREATE));

    QVERIFY(rollbackAll(&journal, nullptr));
    QVERIFY(!QFileInfo::exists(path("a/b")));
    QVERIFY(QFileInfo::exists(path("a")));
}

void TestFileOperations::createBelowAFileNamesTheFile()
{
    writeFile(path("x"), "a file");
    RollbackDataList journal;
    QStringList messages;
    DirCreateTaskSpecification task(path("x/y"), &journal, nullptr, 1.0);
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(messages, QStringList{"Could not create dir '" + path("x") + "' because it already exists and is not a dir"});
    QVERIFY(journal.isEmpty());
}

void TestFileOperations::createRelativeWithoutParentFails()
{
    QStringList messages;
    DirCreateTaskSpecification task("voxaro_nowhere_dir", nullptr, nullptr, 1.0);
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(messages, QStringList{"Could not create dir voxaro_nowhere_dir"});
}

void TestFileOperations::copyRecordsTheCopy()
{
    writeFile(path("src"), "payload");
    RollbackDataList journal;
    FileCopyTaskSpecification task(&journal, path("src"), path("dst"), nullptr, 1.0);
    QCOMPARE(run(&task), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(readFile(path("dst")), QByteArray("payload"));
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).op(), int(RollbackData::FILE_CREATE));
    QCOMPARE(journal.at(0).path(), path("dst"));
}

void TestFileOperations::copyNeverOverwrites()
{
    writeFile(path("src"), "new");
    writeFile(path("dst"), "old");
    RollbackDataList journal;
    QStringList messages;
    FileCopyTaskSpecification task(&journal, path("src"), path("dst"), nullptr, 1.0);
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(messages, QStringList{"Could not copy '" + path("src") + "' to '" + path("dst") + "'"});
    QVERIFY(journal.isEmpty());
    QCOMPARE(readFile(path("dst")), QByteArray("old"));
}

void TestFileOperations::renameAndUndo()
{
    writeFile(path("installed"), "v1");
    RollbackDataList journal;
    FileRenameTaskSpecification task(path("installed"), path("aside/installed_old"), &journal, nullptr, 1.0);
    QCOMPARE(run(&task), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(!QFileInfo::exists(path("installed")));
    QCOMPARE(readFile(path("aside/installed_old")), QByteArray("v1"));
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).op(), int(RollbackData::FILE_RENAME));
    QCOMPARE(journal.at(0).path(), path("aside/installed_old"));
    QCOMPARE(journal.at(0).formerPath(), path("installed"));

    QVERIFY(rollbackAll(&journal, nullptr));
    QCOMPARE(readFile(path("installed")), QByteArray("v1"));
}

void TestFileOperations::renameFailure()
{
    QStringList messages;
    RollbackDataList journal;
    FileRenameTaskSpecification task(path("missing"), path("target"), &journal, nullptr, 1.0);
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(messages, QStringList{"Could not rename '" + path("missing") + "' to '" + path("target") + "'"});
    QVERIFY(journal.isEmpty());
}

void TestFileOperations::deleteFileAndTrees()
{
    writeFile(path("file"), "x");
    QVERIFY(QDir().mkpath(path("full/sub")));
    writeFile(path("full/sub/f"), "x");

    FileDeleteTaskSpecification file(false, path("file"), false, nullptr, 1.0);
    QCOMPARE(run(&file), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(!QFileInfo::exists(path("file")));

    // Not recursive: a directory with files stays, and the task still finishes.
    FileDeleteTaskSpecification keep(false, path("full"), false, nullptr, 1.0);
    QCOMPARE(run(&keep), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(QFileInfo::exists(path("full/sub/f")));

    FileDeleteTaskSpecification tree(false, path("full"), true, nullptr, 1.0);
    QCOMPARE(run(&tree), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(!QFileInfo::exists(path("full")));
}

void TestFileOperations::deleteEmptiedDirectoryStopsAtBoundary()
{
    // install/a/b/c: deleting the empty c also takes b and a, which it left
    // empty, but never the installation directory or anything above it.
    QVERIFY(QDir().mkpath(path("install/a/b/c")));
    FileDeleteTaskSpecification task(false, path("install/a/b/c"), false, nullptr, 1.0);
    task.setBoundary(path("install"));
    QCOMPARE(run(&task), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(!QFileInfo::exists(path("install/a")));
    QVERIFY(QFileInfo(path("install")).isDir());
    QVERIFY(QFileInfo(m_Dir->path()).isDir());

    // Without a boundary only the directory itself goes.
    QVERIFY(QDir().mkpath(path("solo/inner")));
    FileDeleteTaskSpecification solo(false, path("solo/inner"), false, nullptr, 1.0);
    QCOMPARE(run(&solo), int(TaskSpecification::TASK_FINISHED));
    QVERIFY(!QFileInfo::exists(path("solo/inner")));
    QVERIFY(QFileInfo(path("solo")).isDir());
}

void TestFileOperations::strictDeleteReportsFailure()
{
    QVERIFY(QDir().mkpath(path("busy")));
    writeFile(path("busy/f"), "x");
    QStringList messages;
    FileDeleteTaskSpecification task(true, path("busy"), false, nullptr, 1.0);
    QCOMPARE(run(&task, &messages), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(messages, QStringList{"Could not delete '" + path("busy") + "'"});
}

QTEST_GUILESS_MAIN(TestFileOperations)
#include "tst_fileoperations.moc"
