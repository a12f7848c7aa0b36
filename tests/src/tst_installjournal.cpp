// The install journal on disk with the real file tasks: a session that died
// is undone by recovery whatever its journal's last line looks like, a kept
// original that has gone does not cost any other file, a committed session
// leaves nothing, and journals that cannot be trusted are refused and left
// exactly where they are, with the installation untouched.
#include "support/testfiles.h"
#include "dircreatetaskspecification.h"
#include "filedeletetaskspecification.h"
#include "fileplacetaskspecification.h"
#include "installjournal.h"

#include <QtTest>

#include <zlib.h>

namespace {

// Every entry below `dir` (hidden ones too), relative path to content; a
// directory maps to "<dir>".
QMap<QString, QByteArray> tree(const QString& dir)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(QDir(dir).relativeFilePath(path), QFileInfo(path).isDir() ? "<dir>" : readFile(path));
    }
    return entries;
}

} // namespace

class TestInstallJournal final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void deadSessionIsUndone_data();
    void deadSessionIsUndone();
    void missingKeptOriginalCostsNothingElse();
    void committedSessionLeavesNothing();
    void untrustedJournalIsRefused_data();
    void untrustedJournalIsRefused();
    void livingSessionIsLeftAlone();

private:
    // A session that replaces a, adds dir/b, deletes old/ and then dies
    // (its journal object goes without commit or roll-back).
    void runSession(InstallJournal* journal);
    QString inst(const QString& name) const { return m_Root->filePath("install/" + name); }
    QString journalFile() const { return InstallJournal::directoryOf(inst("")) + "/journal"; }

    std::unique_ptr<QTemporaryDir> m_Root;
    QMap<QString, QByteArray> m_Before;
};

void TestInstallJournal::init()
{
    m_Root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_Root->isValid());
    writeFile(inst("a"), "a version 1");
    writeFile(inst("old/x"), "x");
    writeFile(inst("keep"), "untouched");
    m_Before = tree(inst(""));
}

void TestInstallJournal::runSession(InstallJournal* journal)
{
    RollbackDataList list;
    list.setDisk(journal);
    QString error;
    auto place = [&](const QString& name, const QByteArray& data) {
        const QString fresh = journal->newStagingPath(&error);
        writeFile(fresh, data);
        FilePlaceTaskSpecification task(fresh, inst(name), journal->newKeptPath(&error), &list, nullptr, 1.0);
        task.execute();
        QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
    };
    place("a", "a version 2");
    DirCreateTaskSpecification dir(inst("dir"), &list, nullptr, 1.0);
    dir.execute();
    place("dir/b", "b is new");
    FileDeleteTaskSpecification gone(true, inst("old"), true, nullptr, 1.0);
    gone.setJournal(&list);
    gone.execute();
    QCOMPARE(gone.taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(readFile(inst("a")), QByteArray("a version 2"));
    QVERIFY(!QFileInfo::exists(inst("old")));
}

void TestInstallJournal::deadSessionIsUndone_data()
{
    QTest::addColumn<QByteArray>("tail");
    QTest::newRow("clean end") << QByteArray();
    QTest::newRow("torn last record") << QByteArray("R\tkeep\tkept/9\t1234");
    QTest::newRow("damaged last record") << QByteArray("C\tkeep\t00000000\n");
}

void TestInstallJournal::deadSessionIsUndone()
{
    QFETCH(QByteArray, tail);
    {
        InstallJournal journal(inst(""));
        runSession(&journal);
        if (QTest::currentTestFailed())
            return;
        QFile file(journalFile());
        QVERIFY(file.open(QIODevice::Append));
        file.write(tail);
    }
    QStringList report;
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::ROLLED_BACK);
    QCOMPARE(tree(inst("")), m_Before);
    QCOMPARE(report.size(), 1);
    QVERIFY2(report.first().contains("rolled back (4 changes undone)"), qPrintable(report.join('\n')));
    // Once is enough: a second start finds nothing.
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::NOTHING);
}

void TestInstallJournal::missingKeptOriginalCostsNothingElse()
{
    {
        InstallJournal journal(inst(""));
        runSession(&journal);
    }
    // The original of a (the first kept name) is gone.
    QVERIFY(QFile::remove(InstallJournal::directoryOf(inst("")) + "/kept/1"));
    QStringList report;
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::ROLLED_BACK);
    QMap<QString, QByteArray> expected = m_Before;
    expected["a"] = "a version 2";
    QCOMPARE(tree(inst("")), expected);
    QVERIFY2(report.join('\n').contains("warning: the original of " + inst("a") + " is missing"),
             qPrintable(report.join('\n')));
}

void TestInstallJournal::committedSessionLeavesNothing()
{
    InstallJournal journal(inst(""));
    runSession(&journal);
    QVERIFY(journal.commit(nullptr));
    const QMap<QString, QByteArray> after = tree(inst(""));
    QCOMPARE(after.keys(), QStringList({"a", "dir", "dir/b", "keep"}));
    QCOMPARE(after["a"], QByteArray("a version 2"));
    QStringList report;
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::NOTHING);
}

void TestInstallJournal::untrustedJournalIsRefused_data()
{
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<QString>("problem");
    // Valid checksums, so only the content can be at fault.
    auto line = [](const QByteArray& text) -> QByteArray {
        const quint32 crc = crc32(0, reinterpret_cast<const Bytef*>(text.constData()), uInt(text.size()));
        return text + '\t' + QByteArray::number(crc, 16).rightJustified(8, '0') + '\n';
    };
    const QByteArray header = line("VXJOURNAL\t1");
    QTest::newRow("not ours") << QByteArray(line("VXJOURNAL\t2") + line("C\tkeep")) << QString("not an update journal");
    QTest::newRow("damaged before the last") << QByteArray(header + "C\tkeep\t00000000\n" + line("D\tdir"))
                                             << QString("damaged");
    QTest::newRow("path leaves the installation") << QByteArray(header + line("C\t..%2Foutside")) << QString("outside");
    QTest::newRow("kept name not its own") << QByteArray(header + line("R\tkeep\t..%2Fkeep")) << QString("outside");
}

void TestInstallJournal::untrustedJournalIsRefused()
{
    QFETCH(QByteArray, journal);
    QFETCH(QString, problem);
    writeFile(journalFile(), journal);
    writeFile(InstallJournal::directoryOf(inst("")) + "/kept/0", "an original");
    const QMap<QString, QByteArray> before = tree(inst(""));
    QStringList report;
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::REFUSED);
    QCOMPARE(tree(inst("")), before);
    QVERIFY2(report.join('\n').contains(problem), qPrintable(report.join('\n')));
    QVERIFY(report.join('\n').contains("left in place"));

    // Kept originals without any journal are not thrown away either.
    QVERIFY(QFile::remove(journalFile()));
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::REFUSED);
    QCOMPARE(readFile(InstallJournal::directoryOf(inst("")) + "/kept/0"), QByteArray("an original"));
}

void TestInstallJournal::livingSessionIsLeftAlone()
{
    InstallJournal journal(inst(""));
    runSession(&journal);
    QStringList report;
    QCOMPARE(InstallJournal::recover(inst(""), &report), InstallJournal::IN_USE);
    QCOMPARE(readFile(inst("a")), QByteArray("a version 2"));
    // The session itself undoes everything when it fails.
    QVERIFY(journal.rollBack(nullptr));
    QCOMPARE(tree(inst("")), m_Before);
}

QTEST_GUILESS_MAIN(TestInstallJournal)
#include "tst_installjournal.moc"
