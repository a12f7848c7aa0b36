// Scheduling, progress, cancellation and end states of composed tasks, driven
// through the event loop with leaf tasks that the test ends by hand.

#include "composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

// What the leaves saw: start order, how many run at once, execute() nesting.
struct Tracker
{
    QStringList started;
    int running = 0;
    int peak = 0;
    int executeDepth = 0;
    int peakExecuteDepth = 0;
};

class ManualTask final : public TaskSpecification
{
    Q_OBJECT

public:
    ManualTask(const QString& name, Tracker* tracker, QObject* parent, qreal weight = 1.0)
        : TaskSpecification(parent, weight), m_Name(name), m_Tracker(tracker)
    {
    }

    void execute() override
    {
        m_TaskState = TASK_RUNNING;
        m_Tracker->started.append(m_Name);
        m_Tracker->peak = std::max(m_Tracker->peak, ++m_Tracker->running);
        ++m_Tracker->executeDepth;
        m_Tracker->peakExecuteDepth =
            std::max(m_Tracker->peakExecuteDepth, m_Tracker->executeDepth);
        if (m_FinishInExecute)
            finish();
        --m_Tracker->executeDepth;
    }
    void handleOtherTaskCancelled(TaskSpecification* other) override { m_Notices.append(other); }

    void finish() { end(&ManualTask::setFinished); }
    void fail() { end(&ManualTask::setFailed); }
    void progress(qreal fraction) { setProgress(fraction); }

    bool m_FinishInExecute = false;
    QList<TaskSpecification*> m_Notices;

private:
    void end(void (TaskSpecification::*op)())
    {
        if (m_TaskState == TASK_RUNNING)
            --m_Tracker->running;
        (this->*op)();
    }

    QString m_Name;
    Tracker* m_Tracker;
};

// Ends at once on a cancel request and fails when a sibling was cancelled,
// the way a running download does.
class StoppableTask final : public TaskSpecification
{
    Q_OBJECT

public:
    explicit StoppableTask(QObject* parent) : TaskSpecification(parent, 1.0) {}

    void execute() override { m_TaskState = TASK_RUNNING; }
    void cancel() override
    {
        TaskSpecification::cancel();
        if (m_TaskState == TASK_RUNNING)
            setAborted();
    }
    void handleOtherTaskCancelled(TaskSpecification*) override { setFailed(); }
    void fail() { setFailed(); }
};

class TestComposed final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    TestComposed(int maxParallel, QObject* parent = nullptr, qreal weight = 1.0)
        : ComposedTaskSpecification(maxParallel, parent, weight)
    {
    }

    void execute() override { startSubTasks(); }
    void subtasksDone() override
    {
        ++m_DoneCalls;
        ComposedTaskSpecification::subtasksDone();
    }

    ManualTask* add(const QString& name, Tracker* tracker, qreal weight = 1.0)
    {
        auto* task = new ManualTask(name, tracker, this, weight);
        addSubTask(task);
        return task;
    }
    void addTask(TaskSpecification* task) { addSubTask(task); }
    void failNow() { setFailed(); }

    int m_DoneCalls = 0;
};

// Builds its sub-tasks inside execute() and resets the usual way, so that
// every run starts from a fresh set.
class RebuildingComposed final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    RebuildingComposed(Tracker* tracker) : ComposedTaskSpecification(1, nullptr, 1.0), m_Tracker(tracker) {}

    void execute() override
    {
        m_Last = new ManualTask(QStringLiteral("only"), m_Tracker, this);
        m_Last->m_FinishInExecute = true;
        addSubTask(m_Last);
        startSubTasks();
    }
    void reset() override
    {
        deleteSubTasks();
        TaskSpecification::reset();
    }

    ManualTask* m_Last = nullptr;

private:
    Tracker* m_Tracker;
};

} // namespace

class TestComposedTaskSpecification final : public QObject
{
    Q_OBJECT

private slots:
    void emptyTaskFinishesInStart();
    void oneAtATimeRunsInOrder();
    void threeAtATimeWithTenPending();
    void synchronousFinishStartsNextFromEventLoop();
    void failureOfSecondOfThreeStopsTheRest();
    void twoParallelFailuresPropagateOnlyTheFirst();
    void siblingFailureStaysInItsSubtree();
    void cancelWhileLastRunsStillFinishes();
    void cancelWithPendingAborts();
    void cancelBeforeStartIsNotPassedOn();
    void cancelOfParallelStoppableTasksAbortsAll();
    void progressIsWeightedSum();
    void taskEndsOnlyOncePerRun();
    void composedEndingItselfIsNotEndedAgain();
    void rebuiltTaskRunsAgainAfterReset();
    void downloadStatusSumsKnownTotals();
    void deletingDeletesSubTasks();
};

void TestComposedTaskSpecification::emptyTaskFinishesInStart()
{
    TestComposed composed(1);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    composed.execute();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(composed.m_DoneCalls, 1);
}

void TestComposedTaskSpecification::oneAtATimeRunsInOrder()
{
    Tracker tracker;
    TestComposed composed(1);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker);
    ManualTask* c = composed.add(QStringLiteral("c"), &tracker);
    QSignalSpy finished(&composed, &TaskSpecification::finished);

    composed.execute();
    QVERIFY2(tracker.started.isEmpty(), "sub-tasks start from the event loop, not inside execute()");
    QTRY_COMPARE(tracker.started, QStringList{QStringLiteral("a")});
    QCoreApplication::processEvents();
    QCOMPARE(b->taskState(), int(TaskSpecification::TASK_IDLE));

    a->finish();
    QTRY_COMPARE(tracker.started.size(), 2);
    b->finish();
    QTRY_COMPARE(tracker.started.size(), 3);
    QCOMPARE(finished.count(), 0);
    c->finish();
    QTRY_COMPARE(finished.count(), 1);

    QCOMPARE(tracker.started, (QStringList{"a", "b", "c"}));
    QCOMPARE(tracker.peak, 1);
    QCOMPARE(composed.m_DoneCalls, 1);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FINISHED));
}

void TestComposedTaskSpecification::threeAtATimeWithTenPending()
{
    Tracker tracker;
    TestComposed composed(3);
    QList<ManualTask*> tasks;
    for (int i = 0; i < 10; ++i)
        tasks.append(composed.add(QString::number(i), &tracker));
    QSignalSpy finished(&composed, &TaskSpecification::finished);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 3);
    QCoreApplication::processEvents();
    QCOMPARE(tracker.started.size(), 3);

    // Each end frees exactly one place.
    for (int i = 0; i < 10; ++i) {
        tasks[i]->finish();
        const int expected = std::min(10, i + 4);
        QTRY_COMPARE(tracker.started.size(), expected);
        QCOMPARE(tracker.running, std::min(3, 10 - i - 1));
    }
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(tracker.peak, 3);
    QCOMPARE(tracker.started, (QStringList{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
    QCOMPARE(composed.m_DoneCalls, 1);
}

void TestComposedTaskSpecification::synchronousFinishStartsNextFromEventLoop()
{
    Tracker tracker;
    TestComposed composed(1);
    for (const char* name : {"a", "b", "c"})
        composed.add(QString::fromLatin1(name), &tracker)->m_FinishInExecute = true;
    QSignalSpy finished(&composed, &TaskSpecification::finished);

    composed.execute();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(tracker.started, (QStringList{"a", "b", "c"}));
    QCOMPARE(tracker.peakExecuteDepth, 1);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(composed.m_DoneCalls, 1);
}

void TestComposedTaskSpecification::failureOfSecondOfThreeStopsTheRest()
{
    Tracker tracker;
    TestComposed composed(1);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker);
    ManualTask* c = composed.add(QStringLiteral("c"), &tracker);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    QSignalSpy notices(&composed, &TaskSpecification::otherTaskCancelled);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 1);
    a->finish();
    QTRY_COMPARE(tracker.started.size(), 2);
    b->fail();
    QTRY_COMPARE(canceled.count(), 1);
    QCoreApplication::processEvents();

    QCOMPARE(c->taskState(), int(TaskSpecification::TASK_IDLE));
    QCOMPARE(tracker.started.size(), 2);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(composed.m_DoneCalls, 1);
    QCOMPARE(notices.count(), 1);
    QCOMPARE(notices.at(0).at(0).value<TaskSpecification*>(), b);
}

void TestComposedTaskSpecification::twoParallelFailuresPropagateOnlyTheFirst()
{
    Tracker tracker;
    TestComposed composed(2);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker);
    ManualTask* c = composed.add(QStringLiteral("c"), &tracker);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);
    QSignalSpy notices(&composed, &TaskSpecification::otherTaskCancelled);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 2);
    a->fail();
    QCOMPARE(notices.count(), 1);
    QCOMPARE(b->m_Notices, QList<TaskSpecification*>{a});
    QVERIFY2(a->m_Notices.isEmpty(), "the failed task is not told about itself");
    QCOMPARE(canceled.count(), 0);

    b->fail();
    QCOMPARE(notices.count(), 1);
    QCOMPARE(canceled.count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(c->taskState(), int(TaskSpecification::TASK_IDLE));
    QVERIFY2(c->m_Notices.isEmpty(), "a task that is not running ignores the notice");
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(composed.m_DoneCalls, 1);
}

void TestComposedTaskSpecification::siblingFailureStaysInItsSubtree()
{
    Tracker tracker;
    TestComposed root(2);
    auto* branch = new TestComposed(2, &root);
    root.addTask(branch);
    ManualTask* other = root.add(QStringLiteral("other"), &tracker);
    ManualTask* a = branch->add(QStringLiteral("a"), &tracker);
    ManualTask* b = branch->add(QStringLiteral("b"), &tracker);
    QSignalSpy canceled(&root, &TaskSpecification::canceled);

    root.execute();
    QTRY_COMPARE(tracker.started.size(), 3);
    a->fail();
    QCOMPARE(b->m_Notices, QList<TaskSpecification*>{a});
    QVERIFY2(other->m_Notices.isEmpty(), "the parent's other branch learns only when the branch ends");

    b->finish();
    QTRY_COMPARE(branch->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(other->m_Notices, QList<TaskSpecification*>{branch});
    other->finish();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(root.taskState(), int(TaskSpecification::TASK_FAILED));
}

void TestComposedTaskSpecification::cancelWhileLastRunsStillFinishes()
{
    Tracker tracker;
    TestComposed composed(1);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker);
    QSignalSpy finished(&composed, &TaskSpecification::finished);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 1);
    a->finish();
    QTRY_COMPARE(tracker.started.size(), 2);
    composed.cancel();
    QVERIFY(b->cancelRequested());
    b->finish();
    QTRY_COMPARE(finished.count(), 1);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FINISHED));
}

void TestComposedTaskSpecification::cancelWithPendingAborts()
{
    Tracker tracker;
    TestComposed composed(1);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 1);
    composed.cancel();
    QVERIFY(a->cancelRequested());
    QVERIFY2(b->cancelRequested(), "pending sub-tasks are asked too");
    a->finish();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(b->taskState(), int(TaskSpecification::TASK_IDLE));
    QCOMPARE(tracker.started.size(), 1);
}

void TestComposedTaskSpecification::cancelOfParallelStoppableTasksAbortsAll()
{
    // The first sub-task's abort must not reach its siblings as a failure
    // before their own cancel does, in any level of the tree.
    TestComposed root(1);
    auto* branch = new TestComposed(3, &root);
    root.addTask(branch);
    QList<StoppableTask*> leaves;
    for (int i = 0; i < 4; ++i) {
        leaves.append(new StoppableTask(branch));
        branch->addTask(leaves.last());
    }
    QSignalSpy canceled(&root, &TaskSpecification::canceled);

    root.execute();
    QTRY_COMPARE(leaves.at(2)->taskState(), int(TaskSpecification::TASK_RUNNING));
    root.cancel();
    QTRY_COMPARE(canceled.count(), 1);
    QCOMPARE(root.taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(branch->taskState(), int(TaskSpecification::TASK_ABORTED));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(leaves.at(i)->taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(leaves.at(3)->taskState(), int(TaskSpecification::TASK_IDLE));

    // A real failure still stops its siblings as before.
    root.reset();
    root.execute();
    QTRY_COMPARE(leaves.at(2)->taskState(), int(TaskSpecification::TASK_RUNNING));
    leaves.at(0)->fail();
    QTRY_COMPARE(canceled.count(), 2);
    QCOMPARE(root.taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(leaves.at(1)->taskState(), int(TaskSpecification::TASK_FAILED));
}

void TestComposedTaskSpecification::cancelBeforeStartIsNotPassedOn()
{
    Tracker tracker;
    TestComposed composed(1);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    composed.cancel();
    QVERIFY(composed.cancelRequested());
    QVERIFY(!a->cancelRequested());
}

void TestComposedTaskSpecification::progressIsWeightedSum()
{
    Tracker tracker;
    TestComposed composed(2);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker, 0.25);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker, 0.75);
    QSignalSpy progress(&composed, &TaskSpecification::updateProgress);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 2);
    a->progress(1.0);
    b->progress(0.5);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toReal(), 0.625);
    QCOMPARE(composed.doneFrac(), 0.625);

    // A nested composed task scales by its own weight.
    TestComposed root(1);
    auto* half = new TestComposed(1, &root, 0.5);
    root.addTask(half);
    ManualTask* leaf = half->add(QStringLiteral("leaf"), &tracker, 1.0);
    QSignalSpy rootProgress(&root, &TaskSpecification::updateProgress);
    leaf->progress(0.5);
    QCOMPARE(rootProgress.last().at(0).toReal(), 0.25);
}

void TestComposedTaskSpecification::taskEndsOnlyOncePerRun()
{
    Tracker tracker;
    ManualTask task(QStringLiteral("t"), &tracker, nullptr);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);

    task.finish();
    QCOMPARE(finished.count() + canceled.count(), 0);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_IDLE));

    task.execute();
    task.finish();
    task.fail();
    task.finish();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FINISHED));

    task.reset();
    task.execute();
    task.fail();
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(task.taskState(), int(TaskSpecification::TASK_FAILED));
}

void TestComposedTaskSpecification::composedEndingItselfIsNotEndedAgain()
{
    Tracker tracker;
    TestComposed composed(1);
    ManualTask* a = composed.add(QStringLiteral("a"), &tracker);
    ManualTask* b = composed.add(QStringLiteral("b"), &tracker);
    QSignalSpy finished(&composed, &TaskSpecification::finished);
    QSignalSpy canceled(&composed, &TaskSpecification::canceled);

    composed.execute();
    QTRY_COMPARE(tracker.started.size(), 1);
    composed.failNow();
    QCOMPARE(canceled.count(), 1);
    a->finish();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    QCOMPARE(finished.count(), 0);
    QCOMPARE(canceled.count(), 1);
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_FAILED));
    QVERIFY2(b->taskState() == TaskSpecification::TASK_IDLE, "an ended task starts nothing more");
    QCOMPARE(composed.m_DoneCalls, 1);
}

void TestComposedTaskSpecification::rebuiltTaskRunsAgainAfterReset()
{
    Tracker tracker;
    RebuildingComposed composed(&tracker);
    QSignalSpy finished(&composed, &TaskSpecification::finished);

    composed.execute();
    QTRY_COMPARE(finished.count(), 1);
    QPointer<ManualTask> first = composed.m_Last;
    composed.reset();
    QCOMPARE(composed.taskState(), int(TaskSpecification::TASK_IDLE));
    QCOMPARE(composed.subTasks().size(), 0);
    composed.execute();
    QTRY_COMPARE(finished.count(), 2);
    QTRY_VERIFY(first.isNull());
    QCOMPARE(tracker.started.size(), 2);
}

namespace {

class FakeDownload final : public TaskSpecification
{
    Q_OBJECT

public:
    FakeDownload(QObject* parent, quint64 done, quint64 total, quint64 added, bool active)
        : TaskSpecification(parent, 1.0), m_Done(done), m_Total(total), m_Added(added), m_Active(active)
    {
    }
    void execute() override { m_TaskState = TASK_RUNNING; }
    void pollDownloadStatus(quint64* done, quint64* total, quint64* added, bool* active) override
    {
        *done = m_Done;
        *total = m_Total;
        *added = m_Added;
        *active = m_Active;
    }

private:
    quint64 m_Done, m_Total, m_Added;
    bool m_Active;
};

} // namespace

void TestComposedTaskSpecification::downloadStatusSumsKnownTotals()
{
    Tracker tracker;
    TestComposed composed(3);
    composed.addTask(new FakeDownload(&composed, 10, 100, 5, false));
    composed.addTask(new FakeDownload(&composed, 7, 0, 3, true)); // size not known yet
    composed.add(QStringLiteral("plain"), &tracker);
    quint64 done = 0, total = 0, added = 0;
    bool active = true;
    composed.pollDownloadStatus(&done, &total, &added, &active);
    QCOMPARE(done, quint64(10));
    QCOMPARE(total, quint64(100));
    QCOMPARE(added, quint64(8));
    QVERIFY(active);
}

void TestComposedTaskSpecification::deletingDeletesSubTasks()
{
    Tracker tracker;
    auto* composed = new TestComposed(1);
    QPointer<ManualTask> a = composed->add(QStringLiteral("a"), &tracker);
    composed->execute();
    QTRY_COMPARE(tracker.started.size(), 1);
    delete composed;
    QVERIFY(a.isNull());
}

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
