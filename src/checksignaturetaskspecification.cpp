#include "checksignaturetaskspecification.h"

#include "checksigfunc.h"

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(const QString& filePath,
                                                                 const QString& expectedHash,
                                                                 bool failOnMismatch,
                                                                 QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_FilePath(filePath)
    , m_ExpectedHash(expectedHash)
    , m_FailOnMismatch(failOnMismatch)
{
}

void CheckSignatureTaskSpecification::setShownName(const QString& name)
{
    m_ShownName = name;
}

ASyncFunc* CheckSignatureTaskSpecification::createFunc()
{
    return new CheckSigFunc(m_FilePath, m_ExpectedHash);
}

void CheckSignatureTaskSpecification::handleRunResult(bool pass)
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (pass) {
        emit checkDone(true, this);
        setFinished();
        return;
    }
    emit message(
        QObject::tr("Signature check failed for %1").arg(m_ShownName.isEmpty() ? m_FilePath : m_ShownName));
    emit checkDone(false, this);
    if (m_FailOnMismatch)
        setFailed();
    else
        setFinished();
}
