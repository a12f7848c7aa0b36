#pragma once
// An inner node of the task tree: owns an ordered list of sub-tasks, starts
// up to m_MaxParallel of them at a time in the order added, sums their
// weighted progress, and ends through subtasksDone() once nothing runs and
// nothing more will start.
//
// Each start goes through the queued startNextTask() signal, so a sub-task's
// execute() never runs inside the end signal of the one before it. After the
// first cancelled sub-task (or a cancel request) nothing new is started; the
// first cancelled sub-task is announced to the whole subtree through
// otherTaskCancelled, except while this task honours a cancel request (then
// every sub-task is cancelled itself and ends aborted, not failed). The end
// state is aggregateState() of the sub-tasks.
//
// Subclasses build their sub-tasks with this object as Qt parent, addSubTask()
// them and call startSubTasks(). A subclass that builds them inside execute()
// overrides reset() as deleteSubTasks() plus TaskSpecification::reset().
// The composed task owns its sub-tasks and deletes them deferred.
//
// GUI thread only.

#include "taskspecification.h"

#include <QList>

class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallel, QObject* parent, qreal weight);
    ~ComposedTaskSpecification() override;

    const QList<TaskSpecification*>& subTasks() const;

public slots:
    void reset() override;
    void pollDownloadStatus(quint64* downloadDone, quint64* downloadTotal, quint64* newBytes,
                            bool* downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    // Called exactly once per run when no sub-task runs and none will start.
    virtual void subtasksDone();
    virtual void connectSubTask(TaskSpecification* task);

signals:
    void startNextTask();

protected:
    void addSubTask(TaskSpecification* task);
    void startSubTasks();
    void deleteSubTasks();
    int aggregateState() const;

    QList<TaskSpecification*> m_SubTasks;
    QList<TaskSpecification*> m_Pending;
    QList<TaskSpecification*> m_Running;
    QList<TaskSpecification*> m_Done;
    int m_MaxParallel;
    bool m_SubTaskCancelled;
    bool m_SubtasksDoneCalled;

private slots:
    void onStartNextTask();
    void onUpdateProgress(qreal doneFrac);
    void onSubTaskFinished(TaskSpecification* task);
    void onSubTaskCanceled(TaskSpecification* task);

private:
    void callSubtasksDoneOnce();
};
