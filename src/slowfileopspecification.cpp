#include "slowfileopspecification.h"

#include "asyncfunc.h"

#include <QDebug>

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failText,
                                                 RollbackDataList* rollbackList,
                                                 const QString& srcFile, const QString& dstFile,
                                                 QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_SrcFile(srcFile)
    , m_DstFile(dstFile)
    , m_FailText(failText)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failText,
                                                 RollbackDataList* rollbackList,
                                                 const QString& srcFile,
                                                 const QString& patchFile,
                                                 const QString& dstFile, qreal weight,
                                                 QObject* parent)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_SrcFile(srcFile)
    , m_PatchFile(patchFile)
    , m_DstFile(dstFile)
    , m_FailText(failText)
{
}

void SlowFileOpSpecification::connectFunc(ASyncFunc* func)
{
    ASyncTaskSpecification::connectFunc(func);
    connect(
        func, &ASyncFunc::progress, this,
        [this](qreal fraction) { qDebug() << "File progress" << m_SrcFile << m_DstFile << fraction; },
        Qt::QueuedConnection);
    m_Reason.clear();
    connect(
        func, &ASyncFunc::failedWith, this, [this](const QString& reason) { m_Reason = reason; },
        Qt::QueuedConnection);
}

void SlowFileOpSpecification::setFailText(const QString& failText)
{
    m_FailText = failText;
}

void SlowFileOpSpecification::handleRunResult(bool res)
{
    // A dropped result (the task no longer runs) must not touch the journal.
    if (m_TaskState == TASK_RUNNING) {
        if (res) {
            if (m_RollbackList)
                m_RollbackList->append(RollbackData(RollbackData::FILE_CREATE, m_DstFile));
        } else {
            emit message(m_Reason.isEmpty() ? m_FailText : m_FailText + QStringLiteral(": ") + m_Reason);
        }
    }
    ASyncTaskSpecification::handleRunResult(res);
}
