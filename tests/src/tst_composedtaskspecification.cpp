// Scheduling, progress, cancellation and end states of composed tasks, driven
// through the event loop with leaf tasks that the test ends by hand.

#include "composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

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
    void init();
    void cleanup();

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

private:
    // m_Composed: a composed task running `maxParallel` sub-tasks at once,
    // with a leaf for each of `names` and spies on its signals. Returns the
    // leaves in order.
    QList<ManualTask*> compose(int maxParallel, const QStringList& names = {});

    Tracker m_Tracker;
    std::unique_ptr<TestComposed> m_Composed;
    std::unique_ptr<QSignalSpy> m_Finished;
    std::unique_ptr<QSignalSpy> m_Canceled;
    std::unique_ptr<QSignalSpy> m_Notices;
};

void TestComposedTaskSpecification::init()
{
    m_Tracker = Tracker();
}

void TestComposedTaskSpecification::cleanup()
{
    m_Finished.reset();
    m_Canceled.reset();
    m_Notices.reset();
    m_Composed.reset();
}

QList<ManualTask*> TestComposedTaskSpecification::compose(int maxParallel, const QStringList& names)
{
    m_Composed = std::make_unique<TestComposed>(maxParallel);
    QList<ManualTask*> leaves;
    for (const QString& name : names)
        leaves.append(m_Composed->add(name, &m_Tracker));
    m_Finished = std::make_unique<QSignalSpy>(m_Composed.get(), &TaskSpecification::finished);
    m_Canceled = std::make_unique<QSignalSpy>(m_Composed.get(), &TaskSpecification::canceled);
    m_Notices = std::make_unique<QSignalSpy>(m_Composed.get(), &TaskSpecification::otherTaskCancelled);
    return leaves;
}

void TestComposedTaskSpecification::emptyTaskFinishesInStart()
{
    compose(1);
    m_Composed->execute();
    QCOMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(m_Composed->m_DoneCalls, 1);
}

void TestComposedTaskSpecification::oneAtATimeRunsInOrder()
{
    const QList<ManualTask*> leaves = compose(1, {"a", "b", "c"});
    m_Composed->execute();
    QVERIFY2(m_Tracker.started.isEmpty(), "sub-tasks start from the event loop, not inside execute()");
    QTRY_COMPARE(m_Tracker.started, QStringList{QStringLiteral("a")});
    QCoreApplication::processEvents();
    QCOMPARE(leaves[1]->taskState(), int(TaskSpecification::TASK_IDLE));

    leaves[0]->finish();
    QTRY_COMPARE(m_Tracker.started.size(), 2);
    leaves[1]->finish();
    QTRY_COMPARE(m_Tracker.started.size(), 3);
    QCOMPARE(m_Finished->count(), 0);
    leaves[2]->finish();
    QTRY_COMPARE(m_Finished->count(), 1);

    QCOMPARE(m_Tracker.started, (QStringList{"a", "b", "c"}));
    QCOMPARE(m_Tracker.peak, 1);
    QCOMPARE(m_Composed->m_DoneCalls, 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FINISHED));
}

void TestComposedTaskSpecification::threeAtATimeWithTenPending()
{
    const QStringList names{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
    const QList<ManualTask*> leaves = compose(3, names);
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 3);
    QCoreApplication::processEvents();
    QCOMPARE(m_Tracker.started.size(), 3);

    // Each end frees exactly one place.
    for (int i = 0; i < 10; ++i) {
        leaves[i]->finish();
        QTRY_COMPARE(m_Tracker.started.size(), std::min(10, i + 4));
        QCOMPARE(m_Tracker.running, std::min(3, 10 - i - 1));
    }
    QTRY_COMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Tracker.peak, 3);
    QCOMPARE(m_Tracker.started, names);
    QCOMPARE(m_Composed->m_DoneCalls, 1);
}

void TestComposedTaskSpecification::synchronousFinishStartsNextFromEventLoop()
{
    for (ManualTask* leaf : compose(1, {"a", "b", "c"}))
        leaf->m_FinishInExecute = true;
    m_Composed->execute();
    QTRY_COMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Tracker.started, (QStringList{"a", "b", "c"}));
    QCOMPARE(m_Tracker.peakExecuteDepth, 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FINISHED));
    QCOMPARE(m_Composed->m_DoneCalls, 1);
}

void TestComposedTaskSpecification::failureOfSecondOfThreeStopsTheRest()
{
    const QList<ManualTask*> leaves = compose(1, {"a", "b", "c"});
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 1);
    leaves[0]->finish();
    QTRY_COMPARE(m_Tracker.started.size(), 2);
    leaves[1]->fail();
    QTRY_COMPARE(m_Canceled->count(), 1);
    QCoreApplication::processEvents();

    QCOMPARE(leaves[2]->taskState(), int(TaskSpecification::TASK_IDLE));
    QCOMPARE(m_Tracker.started.size(), 2);
    QCOMPARE(m_Finished->count(), 0);
    QCOMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(m_Composed->m_DoneCalls, 1);
    QCOMPARE(m_Notices->count(), 1);
    QCOMPARE(m_Notices->at(0).at(0).value<TaskSpecification*>(), leaves[1]);
}

void TestComposedTaskSpecification::twoParallelFailuresPropagateOnlyTheFirst()
{
    const QList<ManualTask*> leaves = compose(2, {"a", "b", "c"});
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 2);
    leaves[0]->fail();
    QCOMPARE(m_Notices->count(), 1);
    QCOMPARE(leaves[1]->m_Notices, QList<TaskSpecification*>{leaves[0]});
    QVERIFY2(leaves[0]->m_Notices.isEmpty(), "the failed task is not told about itself");
    QCOMPARE(m_Canceled->count(), 0);

    leaves[1]->fail();
    QCOMPARE(m_Notices->count(), 1);
    QCOMPARE(m_Canceled->count(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(leaves[2]->taskState(), int(TaskSpecification::TASK_IDLE));
    QVERIFY2(leaves[2]->m_Notices.isEmpty(), "a task that is not running ignores the notice");
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(m_Composed->m_DoneCalls, 1);
}

void TestComposedTaskSpecification::siblingFailureStaysInItsSubtree()
{
    compose(2);
    auto* branch = new TestComposed(2, m_Composed.get());
    m_Composed->addTask(branch);
    ManualTask* other = m_Composed->add(QStringLiteral("other"), &m_Tracker);
    ManualTask* a = branch->add(QStringLiteral("a"), &m_Tracker);
    ManualTask* b = branch->add(QStringLiteral("b"), &m_Tracker);

    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 3);
    a->fail();
    QCOMPARE(b->m_Notices, QList<TaskSpecification*>{a});
    QVERIFY2(other->m_Notices.isEmpty(), "the parent's other branch learns only when the branch ends");

    b->finish();
    QTRY_COMPARE(branch->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(other->m_Notices, QList<TaskSpecification*>{branch});
    other->finish();
    QTRY_COMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FAILED));
}

void TestComposedTaskSpecification::cancelWhileLastRunsStillFinishes()
{
    const QList<ManualTask*> leaves = compose(1, {"a", "b"});
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 1);
    leaves[0]->finish();
    QTRY_COMPARE(m_Tracker.started.size(), 2);
    m_Composed->cancel();
    QVERIFY(leaves[1]->cancelRequested());
    leaves[1]->finish();
    QTRY_COMPARE(m_Finished->count(), 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FINISHED));
}

void TestComposedTaskSpecification::cancelWithPendingAborts()
{
    const QList<ManualTask*> leaves = compose(1, {"a", "b"});
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 1);
    m_Composed->cancel();
    QVERIFY(leaves[0]->cancelRequested());
    QVERIFY2(leaves[1]->cancelRequested(), "pending sub-tasks are asked too");
    leaves[0]->finish();
    QTRY_COMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Finished->count(), 0);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(leaves[1]->taskState(), int(TaskSpecification::TASK_IDLE));
    QCOMPARE(m_Tracker.started.size(), 1);
}

void TestComposedTaskSpecification::cancelOfParallelStoppableTasksAbortsAll()
{
    // The first sub-task's abort must not reach its siblings as a failure
    // before their own cancel does, in any level of the tree.
    compose(1);
    auto* branch = new TestComposed(3, m_Composed.get());
    m_Composed->addTask(branch);
    QList<StoppableTask*> leaves;
    for (int i = 0; i < 4; ++i) {
        leaves.append(new StoppableTask(branch));
        branch->addTask(leaves.last());
    }

    m_Composed->execute();
    QTRY_COMPARE(leaves.at(2)->taskState(), int(TaskSpecification::TASK_RUNNING));
    m_Composed->cancel();
    QTRY_COMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(branch->taskState(), int(TaskSpecification::TASK_ABORTED));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(leaves.at(i)->taskState(), int(TaskSpecification::TASK_ABORTED));
    QCOMPARE(leaves.at(3)->taskState(), int(TaskSpecification::TASK_IDLE));

    // A real failure still stops its siblings as before.
    m_Composed->reset();
    m_Composed->execute();
    QTRY_COMPARE(leaves.at(2)->taskState(), int(TaskSpecification::TASK_RUNNING));
    leaves.at(0)->fail();
    QTRY_COMPARE(m_Canceled->count(), 2);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FAILED));
    QCOMPARE(leaves.at(1)->taskState(), int(TaskSpecification::TASK_FAILED));
}

void TestComposedTaskSpecification::cancelBeforeStartIsNotPassedOn()
{
    const QList<ManualTask*> leaves = compose(1, {"a"});
    m_Composed->cancel();
    QVERIFY(m_Composed->cancelRequested());
    QVERIFY(!leaves[0]->cancelRequested());
}

void TestComposedTaskSpecification::progressIsWeightedSum()
{
    compose(2);
    ManualTask* a = m_Composed->add(QStringLiteral("a"), &m_Tracker, 0.25);
    ManualTask* b = m_Composed->add(QStringLiteral("b"), &m_Tracker, 0.75);
    QSignalSpy progress(m_Composed.get(), &TaskSpecification::updateProgress);

    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 2);
    a->progress(1.0);
    b->progress(0.5);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(0).toReal(), 0.625);
    QCOMPARE(m_Composed->doneFrac(), 0.625);

    // A nested composed task scales by its own weight.
    TestComposed root(1);
    auto* half = new TestComposed(1, &root, 0.5);
    root.addTask(half);
    ManualTask* leaf = half->add(QStringLiteral("leaf"), &m_Tracker, 1.0);
    QSignalSpy rootProgress(&root, &TaskSpecification::updateProgress);
    leaf->progress(0.5);
    QCOMPARE(rootProgress.last().at(0).toReal(), 0.25);
}

void TestComposedTaskSpecification::taskEndsOnlyOncePerRun()
{
    ManualTask task(QStringLiteral("t"), &m_Tracker, nullptr);
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
    const QList<ManualTask*> leaves = compose(1, {"a", "b"});
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 1);
    m_Composed->failNow();
    QCOMPARE(m_Canceled->count(), 1);
    leaves[0]->finish();
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();

    QCOMPARE(m_Finished->count(), 0);
    QCOMPARE(m_Canceled->count(), 1);
    QCOMPARE(m_Composed->taskState(), int(TaskSpecification::TASK_FAILED));
    QVERIFY2(leaves[1]->taskState() == TaskSpecification::TASK_IDLE, "an ended task starts nothing more");
    QCOMPARE(m_Composed->m_DoneCalls, 1);
}

void TestComposedTaskSpecification::rebuiltTaskRunsAgainAfterReset()
{
    RebuildingComposed composed(&m_Tracker);
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
    QCOMPARE(m_Tracker.started.size(), 2);
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
    compose(3, {"plain"});
    m_Composed->addTask(new FakeDownload(m_Composed.get(), 10, 100, 5, false));
    m_Composed->addTask(new FakeDownload(m_Composed.get(), 7, 0, 3, true)); // size not known yet
    quint64 done = 0, total = 0, added = 0;
    bool active = true;
    m_Composed->pollDownloadStatus(&done, &total, &added, &active);
    QCOMPARE(done, quint64(10));
    QCOMPARE(total, quint64(100));
    QCOMPARE(added, quint64(8));
    QVERIFY(active);
}

void TestComposedTaskSpecification::deletingDeletesSubTasks()
{
    QPointer<ManualTask> a = compose(1, {"a"}).first();
    m_Composed->execute();
    QTRY_COMPARE(m_Tracker.started.size(), 1);
    m_Composed.reset();
    QVERIFY(a.isNull());
}

QTEST_GUILESS_MAIN(TestComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
