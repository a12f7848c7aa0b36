#include "asynctaskspecification.h"

#include "asyncfunc.h"
#include "asyncrun.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_RunNumber(0)
{
}

void ASyncTaskSpecification::execute()
{
    ++m_RunNumber;
    ASyncFunc* func = createFunc();
    connectFunc(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // The result comes back queued, so it cannot arrive before this.
    m_TaskState = TASK_RUNNING;
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    // The finished work's result may still wait in the event queue.
    ++m_RunNumber;
    TaskSpecification::reset();
}

void ASyncTaskSpecification::connectFunc(ASyncFunc* func)
{
    const quint64 run = m_RunNumber;
    connect(
        func, &ASyncFunc::runResult, this,
        [this, run](bool res) {
            if (run == m_RunNumber)
                onRunResult(res);
        },
        Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message,
            Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(
        func, &ASyncFunc::progress, this,
        [this, run](qreal progress) {
            if (run == m_RunNumber)
                onProgress(progress);
        },
        Qt::QueuedConnection);
}

void ASyncTaskSpecification::handleRunResult(bool res)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (res)
        setFinished();
    else
        setFailed();
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    handleRunResult(res);
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}
