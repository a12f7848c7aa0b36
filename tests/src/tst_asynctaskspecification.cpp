// Background work and file operation bases: results, fail texts, journal
// records and progress coming back from the pool thread, and quick file
// operations ending inside execute(). Real files in a temporary directory.

#include "asyncfunc.h"
#include "asynctaskspecification.h"
#include "fastfileoptaskspecification.h"
#include "slowfileopfunc.h"
#include "slowfileopspecification.h"
#include "support/testfiles.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Reports a little, then returns the result it was made with.
class FixedFunc final : public ASyncFunc
{
    Q_OBJECT

public:
    explicit FixedFunc(bool result) : m_Result(result) {}
    bool run() override
    {
        emit message(QStringLiteral("working"));
        emit progress(0.5);
        if (!m_Result)
            emit error(QStringLiteral("it broke"));
        return m_Result;
    }

private:
    bool m_Result;
};

class FixedTask final : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    FixedTask(bool result, qreal weight) : ASyncTaskSpecification(nullptr, weight), m_Result(result) {}
    bool m_Result;

protected:
    ASyncFunc* createFunc() override { return new FixedFunc(m_Result); }
};

class CopyFunc final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    CopyFunc(const QString& src, const QString& dst) : SlowFileOpFunc(src, dst) {}
    bool run() override { return QFile::copy(m_SrcFile, m_DstFile); }
};

class CopyTask final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    CopyTask(RollbackDataList* journal, const QString& src, const QString& dst)
        : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(src, dst),
                                  journal, src, dst, nullptr, 1.0)
    {
    }

protected:
    ASyncFunc* createFunc() override { return new CopyFunc(m_SrcFile, m_DstFile); }
};

// Creates an empty file at m_Path; fails when it cannot.
class TouchTask final : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    TouchTask(const QString& path, RollbackDataList* journal)
        : FastFileOpTaskSpecification(path, journal, nullptr, 1.0)
    {
    }

protected:
    bool doOp() override
    {
        QFile file(m_Path);
        if (!file.open(QIODevice::NewOnly)) {
            emit message(QStringLiteral("Could not create '%1'").arg(m_Path));
            return false;
        }
        addRollbackData(RollbackData(RollbackData::FILE_CREATE, m_Path));
        return true;
    }
};

// The message and end signals of one task, in the order they came.
class EventLog final : public QObject
{
    Q_OBJECT

public:
    explicit EventLog(TaskSpecification* task)
    {
        connect(task, &TaskSpecification::message, this,
                [this](const QString& text) { m_Events.append("message:" + text); });
        connect(task, &TaskSpecification::finished, this,
                [this] { m_Events.append(QStringLiteral("finished")); });
        connect(task, &TaskSpecification::canceled, this,
                [this] { m_Events.append(QStringLiteral("canceled")); });
    }

    QStringList m_Events;
};

} // namespace

class TestASyncTaskSpecification final : public QObject
{
    Q_OBJECT

private slots:
    void resultBecomesEnd();
    void progressAndTextsComeBackWeighted();
    void cancelDoesNotInterruptWork();
    void resultOfResetRunIsDropped();
    void failingFileOpReportsFailTextFirst();
    void fileOpJournalsOnlySuccess();
    void quickFileOpEndsInsideExecute();
};

void TestASyncTaskSpecification::resultBecomesEnd()
{
    FixedTask ok(true, 1.0);
    QSignalSpy okFinished(&ok, &TaskSpecification::finished);
    ok.execute();
    QCOMPARE(ok.taskState(), int(TaskSpecification::TASK_RUNNING));
    QTRY_COMPARE(okFinished.count(), 1);
    QCOMPARE(ok.taskState(), int(TaskSpecification::TASK_FINISHED));

    FixedTask bad(false, 1.0);
    QSignalSpy badFinished(&bad, &TaskSpecification::finished);
    QSignalSpy badCanceled(&bad, &TaskSpecification::canceled);
    QSignalSpy badError(&bad, &TaskSpecification::error);
    bad.execute();
    QTRY_COMPARE(badCanceled.count(), 1);
    QCOMPARE(bad.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(badFinished.count(), 0);
    QCOMPARE(badError.count(), 1);
    QCOMPARE(badError.at(0).at(0).toString(), QStringLiteral("it broke"));
}

void TestASyncTaskSpecification::progressAndTextsComeBackWeighted()
{
    FixedTask task(true, 0.4);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("working"));
    // The work's 0.5, then the end's 1.0, each times the weight.
    QCOMPARE(progress.count(), 2);
    QCOMPARE(progress.at(0).at(0).toReal(), 0.2);
    QCOMPARE(progress.at(1).at(0).toReal(), 0.4);
}

void TestASyncTaskSpecification::cancelDoesNotInterruptWork()
{
    FixedTask task(true, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    task.cancel();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
}

void TestASyncTaskSpecification::resultOfResetRunIsDropped()
{
    FixedTask task(false, 1.0);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    // The first run's failure is done and waits in the event queue.
    task.reset();
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_IDLE));
    task.m_Result = true;
    task.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));
}

void TestASyncTaskSpecification::failingFileOpReportsFailTextFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("missing"));
    const QString dst = dir.filePath(QStringLiteral("dst"));
    RollbackDataList journal;
    CopyTask task(&journal, src, dst);
    EventLog log(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(log.m_Events,
             (QStringList{QStringLiteral("message:Could not copy '%1' to '%2'").arg(src, dst),
                          QStringLiteral("canceled")}));
    QVERIFY(journal.isEmpty());
}

void TestASyncTaskSpecification::fileOpJournalsOnlySuccess()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString src = dir.filePath(QStringLiteral("src"));
    writeFile(src, "payload");

    // No journal: nothing recorded, nothing to crash on.
    CopyTask unjournalled(nullptr, src, dir.filePath(QStringLiteral("a")));
    QSignalSpy unjournalledDone(&unjournalled, &TaskSpecification::finished);
    unjournalled.execute();
    QTRY_COMPARE(unjournalledDone.count(), 1);

    RollbackDataList journal;
    const QString dst = dir.filePath(QStringLiteral("b"));
    CopyTask copy(&journal, src, dst);
    QSignalSpy finished(&copy, &TaskSpecification::finished);
    copy.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).op(), int(RollbackData::FILE_CREATE));
    QCOMPARE(journal.at(0).path(), dst);

    // Copying onto the file now there fails and adds nothing.
    CopyTask again(&journal, src, dst);
    QSignalSpy canceled(&again, &TaskSpecification::canceled);
    again.execute();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(journal.size(), 1);
}

void TestASyncTaskSpecification::quickFileOpEndsInsideExecute()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    RollbackDataList journal;
    const QString path = dir.filePath(QStringLiteral("new"));

    TouchTask ok(path, &journal);
    QSignalSpy finished(&ok, &TaskSpecification::finished);
    ok.execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(journal.size(), 1);
    QCOMPARE(journal.at(0).path(), path);

    TouchTask bad(dir.filePath(QStringLiteral("no/such/dir/file")), &journal);
    EventLog log(&bad);
    bad.execute();
    QCOMPARE(log.m_Events,
             (QStringList{QStringLiteral("message:Could not create '%1'")
                              .arg(dir.filePath(QStringLiteral("no/such/dir/file"))),
                          QStringLiteral("canceled")}));
    QCOMPARE(bad.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(journal.size(), 1);

    TouchTask unjournalled(dir.filePath(QStringLiteral("other")), nullptr);
    unjournalled.execute();
    QCOMPARE(unjournalled.taskState(), int(TaskSpecification::TASK_FINISHED));
}

QTEST_GUILESS_MAIN(TestASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
