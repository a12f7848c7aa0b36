// The rollback journal on real files: undo order, the warning texts and the
// paths they name, partial failure, and reporting through a task's message
// signal.

#include "rollback.h"
#include "taskspecification.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Any task works as a reporter: its message signal receives the warnings.
class ReporterTask final : public TaskSpecification
{
    Q_OBJECT

public:
    ReporterTask() : TaskSpecification(nullptr, 1.0) {}
    void execute() override { m_TaskState = TASK_RUNNING; }
};

bool touch(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

QStringList texts(const QSignalSpy& spy)
{
    QStringList result;
    for (const QList<QVariant>& args : spy)
        result.append(args.at(0).toString());
    return result;
}

} // namespace

class TestRollback final : public QObject
{
    Q_OBJECT

private slots:
    void undoesNewestFirst();
    void renameIsUndoneAndNamedOnFailure();
    void grownDirectoryStaysWhileOthersAreUndone();
    void emptyListSucceeds();
    void reportersMayBeAbsent();
};

void TestRollback::undoesNewestFirst()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString dir = tmp.filePath(QStringLiteral("d"));
    const QString file = dir + QStringLiteral("/f");
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(touch(file));
    RollbackDataList journal{RollbackData(RollbackData::DIR_CREATE, dir),
                             RollbackData(RollbackData::FILE_CREATE, file)};
    ReporterTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);

    // Oldest first would fail on the directory that still holds the file.
    QVERIFY(rollbackAll(&journal, &reporter));
    QVERIFY(!QFile::exists(file));
    QVERIFY(!QFile::exists(dir));
    QVERIFY(journal.isEmpty());
    QCOMPARE(messages.count(), 0);
}

void TestRollback::renameIsUndoneAndNamedOnFailure()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString a = tmp.filePath(QStringLiteral("a"));
    const QString b = tmp.filePath(QStringLiteral("b"));
    QVERIFY(touch(b));
    const RollbackData rename(RollbackData::FILE_RENAME, a, b);
    QCOMPARE(rename.path(), b);
    QCOMPARE(rename.formerPath(), a);

    ReporterTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);
    QVERIFY(rename.rollback(&reporter));
    QVERIFY(QFile::exists(a));
    QVERIFY(!QFile::exists(b));

    // b is gone now: the undo fails and names the rename a -> b.
    QVERIFY(!rename.rollback(&reporter));
    QCOMPARE(texts(messages),
             QStringList{QStringLiteral("warning: rollback rename %1 to %2 failed").arg(a, b)});

    const RollbackData missingFile(RollbackData::FILE_CREATE, b);
    QVERIFY(!missingFile.rollback(&reporter));
    QCOMPARE(texts(messages).last(),
             QStringLiteral("warning: rollback create file %1 failed").arg(b));
}

void TestRollback::grownDirectoryStaysWhileOthersAreUndone()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString before = tmp.filePath(QStringLiteral("before"));
    const QString dir = tmp.filePath(QStringLiteral("d"));
    const QString after = tmp.filePath(QStringLiteral("after"));
    QVERIFY(touch(before));
    QVERIFY(QDir().mkdir(dir));
    QVERIFY(touch(dir + QStringLiteral("/someone-elses")));
    QVERIFY(touch(after));
    RollbackDataList journal{RollbackData(RollbackData::FILE_CREATE, before),
                             RollbackData(RollbackData::DIR_CREATE, dir),
                             RollbackData(RollbackData::FILE_CREATE, after)};
    ReporterTask reporter;
    QSignalSpy messages(&reporter, &TaskSpecification::message);

    QVERIFY(!rollbackAll(&journal, &reporter));
    QVERIFY(QFile::exists(dir + QStringLiteral("/someone-elses")));
    QVERIFY(!QFile::exists(before));
    QVERIFY(!QFile::exists(after));
    QVERIFY(journal.isEmpty());
    QCOMPARE(texts(messages),
             QStringList{QStringLiteral("warning: rollback create dir %1 failed").arg(dir)});

    // Undone records are gone: a second call has nothing to do.
    QVERIFY(rollbackAll(&journal, &reporter));
    QCOMPARE(messages.count(), 1);
}

void TestRollback::emptyListSucceeds()
{
    RollbackDataList journal;
    QVERIFY(rollbackAll(&journal, nullptr));
}

void TestRollback::reportersMayBeAbsent()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString file = tmp.filePath(QStringLiteral("f"));
    QVERIFY(touch(file));
    RollbackDataList journal{RollbackData(RollbackData::FILE_CREATE, file),
                             RollbackData(RollbackData::FILE_CREATE, tmp.filePath("gone"))};
    QVERIFY(!rollbackAll(&journal, nullptr));
    QVERIFY(!QFile::exists(file));

    // An object without a message method: the warning has nowhere to go,
    // and nothing breaks.
    QObject plain;
    RollbackDataList again{RollbackData(RollbackData::FILE_CREATE, tmp.filePath("gone"))};
    QVERIFY(!rollbackAll(&again, &plain));
}

QTEST_GUILESS_MAIN(TestRollback)
#include "tst_rollback.moc"
