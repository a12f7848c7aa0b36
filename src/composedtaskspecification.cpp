#include "composedtaskspecification.h"

#include <algorithm>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallel, QObject* parent,
                                                     qreal weight)
    : TaskSpecification(parent, weight)
    , m_MaxParallel(std::max(1, maxParallel))
    , m_SubTaskCancelled(false)
    , m_SubtasksDoneCalled(false)
{
    connect(this, &ComposedTaskSpecification::startNextTask, this,
            &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

ComposedTaskSpecification::~ComposedTaskSpecification()
{
    // Disconnect first: the sub-tasks die with us as Qt children, and their
    // last signals must not reach a half-destroyed parent.
    deleteSubTasks();
}

const QList<TaskSpecification*>& ComposedTaskSpecification::subTasks() const
{
    return m_SubTasks;
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* task)
{
    m_SubTasks.append(task);
    m_Pending.append(task);
    connectSubTask(task);
    onUpdateProgress(0);
}

void ComposedTaskSpecification::connectSubTask(TaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this,
            &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this,
            &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    connect(task, &TaskSpecification::updateProgress, this,
            &ComposedTaskSpecification::onUpdateProgress);
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
    connect(this, &TaskSpecification::otherTaskCancelled, task,
            &ComposedTaskSpecification::onOtherTaskCancelled);
}

void ComposedTaskSpecification::startSubTasks()
{
    m_TaskState = TASK_RUNNING;
    // A new run of the sub-tasks: subclasses that reset by deleteSubTasks()
    // and build afresh would otherwise carry the last run's outcome over and
    // never reach subtasksDone() again.
    m_SubTaskCancelled = false;
    m_SubtasksDoneCalled = false;
    const int n = std::min(m_Pending.size(), m_MaxParallel);
    if (n == 0) {
        callSubtasksDoneOnce();
        return;
    }
    for (int i = 0; i < n; ++i)
        emit startNextTask();
}

void ComposedTaskSpecification::deleteSubTasks()
{
    for (TaskSpecification* task : qAsConst(m_SubTasks)) {
        disconnect(task, nullptr, this, nullptr);
        disconnect(this, nullptr, task, nullptr);
        task->deleteLater();
    }
    m_SubTasks.clear();
    m_Pending.clear();
    m_Running.clear();
    m_Done.clear();
}

int ComposedTaskSpecification::aggregateState() const
{
    if (m_SubTasks.isEmpty())
        return TASK_FINISHED;
    bool anyAborted = false;
    bool allFinished = true;
    for (const TaskSpecification* task : m_SubTasks) {
        const int state = task->taskState();
        if (state == TASK_FAILED)
            return TASK_FAILED;
        if (state == TASK_ABORTED)
            anyAborted = true;
        if (state != TASK_FINISHED)
            allFinished = false;
    }
    if (anyAborted)
        return TASK_ABORTED;
    if (allFinished)
        return TASK_FINISHED;
    if (m_CancelRequested)
        return TASK_ABORTED;
    if (m_SubTaskCancelled)
        return TASK_FAILED;
    return TASK_RUNNING;
}

void ComposedTaskSpecification::subtasksDone()
{
    switch (aggregateState()) {
    case TASK_FINISHED:
        setFinished();
        break;
    case TASK_ABORTED:
        setAborted();
        break;
    default:
        setFailed();
        break;
    }
}

void ComposedTaskSpecification::callSubtasksDoneOnce()
{
    if (m_SubtasksDoneCalled)
        return;
    m_SubtasksDoneCalled = true;
    subtasksDone();
}

void ComposedTaskSpecification::onStartNextTask()
{
    // A composed task that has already ended itself (a subclass may fail it
    // while sub-tasks still run) must not start anything more.
    if (m_Pending.isEmpty() || m_SubTaskCancelled || m_CancelRequested
        || m_TaskState != TASK_RUNNING) {
        if (m_Running.isEmpty())
            callSubtasksDoneOnce();
        return;
    }
    TaskSpecification* task = m_Pending.takeFirst();
    // In m_Running before execute(): the task may end inside it.
    m_Running.append(task);
    task->execute();
}

void ComposedTaskSpecification::onUpdateProgress(qreal)
{
    qreal sum = 0;
    for (const TaskSpecification* task : qAsConst(m_SubTasks))
        sum += task->doneFrac();
    setProgress(sum);
}

void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* task)
{
    m_Running.removeOne(task);
    m_Done.append(task);
    emit startNextTask();
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* task)
{
    m_Running.removeOne(task);
    m_Done.append(task);
    if (!m_SubTaskCancelled) {
        m_SubTaskCancelled = true;
        // While a cancel request is honoured, a sub-task ending is part of the
        // cancel, not a failure: cancel() reaches every sibling anyway, and
        // the notice would make the siblings it reaches first end failed, so
        // that the whole would end failed instead of aborted.
        if (!m_CancelRequested)
            emit otherTaskCancelled(task);
    }
    if (m_Running.isEmpty())
        callSubtasksDoneOnce();
}

void ComposedTaskSpecification::reset()
{
    for (TaskSpecification* task : qAsConst(m_SubTasks))
        task->reset();
    m_Pending = m_SubTasks;
    m_Running.clear();
    m_Done.clear();
    m_SubTaskCancelled = false;
    m_SubtasksDoneCalled = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::pollDownloadStatus(quint64* downloadDone,
                                                   quint64* downloadTotal, quint64* newBytes,
                                                   bool* downloading)
{
    *downloading = false;
    for (TaskSpecification* task : qAsConst(m_SubTasks)) {
        quint64 done = 0;
        quint64 total = 0;
        quint64 added = 0;
        bool active = false;
        task->pollDownloadStatus(&done, &total, &added, &active);
        if (active)
            *downloading = true;
        *newBytes += added;
        // Files whose size is not known yet would only distort the ratio.
        if (total != 0) {
            *downloadDone += done;
            *downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    // Copy: a sub-task may end inside cancel() and a subclass may react by
    // changing the list.
    const QList<TaskSpecification*> tasks = m_SubTasks;
    for (TaskSpecification* task : tasks)
        task->cancel();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    emit otherTaskCancelled(other);
}
