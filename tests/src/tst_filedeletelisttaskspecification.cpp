// The delete list of a client update against a real installation directory:
// files, trees with and without "recursive", directories emptied on the way,
// entries that are already gone, and paths that lead out of the installation
// (refused, like a link's target). Each row names what must have vanished;
// everything else of the fixture must still be there.
#include "configuration.h"
#include "filedeletelisttaskspecification.h"
#include "support/testfiles.h"

#include <QtTest>

namespace {

// Every entry below `root` (links not followed), relative, sorted.
QStringList entries(const QString& root)
{
    QStringList found;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found << QDir(root).relativeFilePath(it.next());
    found.sort();
    return found;
}

} // namespace

class TestFileDeleteListTaskSpecification final : public QObject
{
    Q_OBJECT

private slots:
    void deletes_data();
    void deletes();
};

void TestFileDeleteListTaskSpecification::deletes_data()
{
    // Entries: an installed path, "r:" in front for a recursive delete;
    // "@ROOT@" stands for the directory that holds the installation.
    QTest::addColumn<QStringList>("list");
    QTest::addColumn<QStringList>("vanished");

    const QStringList dirTree{"install/dir", "install/dir/outlink", "install/dir/sub",
                              "install/dir/sub/y.txt", "install/dir/x.txt"};
    QTest::newRow("file") << QStringList{"a.txt"} << QStringList{"install/a.txt"};
    QTest::newRow("tree, recursive, not through its link") << QStringList{"r:dir"} << dirTree;
    QTest::newRow("tree, not recursive") << QStringList{"dir", "dir/sub"} << QStringList();
    QTest::newRow("empty directory and the parent it emptied")
        << QStringList{"empty/inner"} << QStringList{"install/empty", "install/empty/inner"};
    QTest::newRow("link to a directory goes as a link")
        << QStringList{"r:dir/outlink"} << QStringList{"install/dir/outlink"};
    QTest::newRow("missing entries are skipped")
        << QStringList{"nothing.txt", "r:gone/deeper", "a.txt", "r:dir/sub/none"}
        << QStringList{"install/a.txt"};
    QTest::newRow("paths out of the installation are refused") << QStringList{
        "../outside/keep.txt", "r:..", "r:.", "r:", "r:dir/../../outside", "@ROOT@/outside/keep.txt",
        "r:@ROOT@/install"} << QStringList();
}

void TestFileDeleteListTaskSpecification::deletes()
{
    QFETCH(QStringList, list);
    QFETCH(QStringList, vanished);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    writeFile(root.filePath("install/a.txt"), "a");
    writeFile(root.filePath("install/dir/x.txt"), "x");
    writeFile(root.filePath("install/dir/sub/y.txt"), "y");
    writeFile(root.filePath("outside/keep.txt"), "keep");
    QVERIFY(QFile::link(root.filePath("outside"), root.filePath("install/dir/outlink")));
    QVERIFY(QDir().mkpath(root.filePath("install/empty/inner")));
    QStringList expected = entries(root.path());
    for (const QString& gone : vanished)
        QVERIFY2(expected.removeOne(gone), qPrintable(gone));

    Configuration config;
    QVERIFY(config.initalizeStart(root.path(), root.filePath("install")));
    QList<DeleteItem> deletes;
    for (QString entry : list) {
        entry.replace("@ROOT@", root.path());
        DeleteItem item;
        item.recursive = entry.startsWith("r:");
        item.path = item.recursive ? entry.mid(2) : entry;
        deletes << item;
    }
    FileDeleteListTaskSpecification task(&deletes, &config, nullptr, 0.05);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy messages(&task, &TaskSpecification::message);
    task.execute();
    QVERIFY(!finished.isEmpty() || finished.wait(10000));

    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(messages.first().first().toString(), QStringLiteral("Starting deleting files"));
    QCOMPARE(entries(root.path()), expected);
}

QTEST_GUILESS_MAIN(TestFileDeleteListTaskSpecification)
#include "tst_filedeletelisttaskspecification.moc"
