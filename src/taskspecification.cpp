#include "taskspecification.h"

#include <QDebug>

TaskSpecification::TaskSpecification(QObject* parent, qreal weight)
    : QObject(parent)
    , m_CancelRequested(false)
    , m_Weight(weight)
    , m_DoneFrac(0)
    , m_TaskState(TASK_IDLE)
{
}

int TaskSpecification::taskState() const
{
    return m_TaskState;
}

qreal TaskSpecification::weight() const
{
    return m_Weight;
}

qreal TaskSpecification::doneFrac() const
{
    return m_DoneFrac;
}

bool TaskSpecification::cancelRequested() const
{
    return m_CancelRequested;
}

void TaskSpecification::reset()
{
    m_CancelRequested = false;
    m_TaskState = TASK_IDLE;
    setProgress(0);
}

void TaskSpecification::pollDownloadStatus(quint64* downloadDone, quint64* downloadTotal,
                                           quint64* newBytes, bool* downloading)
{
    *downloadDone = 0;
    *downloadTotal = 0;
    *newBytes = 0;
    *downloading = false;
}

void TaskSpecification::cancel()
{
    m_CancelRequested = true;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other != this && m_TaskState == TASK_RUNNING)
        handleOtherTaskCancelled(other);
}

qreal TaskSpecification::byteShare(quint64 size, quint64 total, int count)
{
    const qreal perFile = 64 * 1024;
    return (qreal(size) + perFile) / (qreal(total) + perFile * qMax(count, 1));
}

void TaskSpecification::setProgress(qreal fraction)
{
    m_DoneFrac = fraction * m_Weight;
    emit updateProgress(m_DoneFrac);
}

// Parents count their running children by end signals; a second end of the
// same run would free a place twice or end the parent a second time.
bool TaskSpecification::beginEnd(const char* operation)
{
    if (m_TaskState == TASK_RUNNING)
        return true;
    qDebug() << "Ignored end of a task that is not running" << QString::fromLatin1(operation)
             << QString::fromLatin1(metaObject()->className()) << QString::number(m_TaskState);
    return false;
}

void TaskSpecification::setFinished()
{
    if (!beginEnd("setFinished"))
        return;
    m_TaskState = TASK_FINISHED;
    setProgress(1.0);
    emit finished(this);
}

void TaskSpecification::setFailed()
{
    if (!beginEnd("setFailed"))
        return;
    m_TaskState = TASK_FAILED;
    emit canceled(this);
}

void TaskSpecification::setAborted()
{
    if (!beginEnd("setAborted"))
        return;
    m_TaskState = TASK_ABORTED;
    emit canceled(this);
}
