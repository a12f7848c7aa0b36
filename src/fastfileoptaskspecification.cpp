#include "fastfileoptaskspecification.h"

#include "durablefiles.h"
#include "installjournal.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path,
                                                         RollbackDataList* rollbackList,
                                                         QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_Path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    if (doOp())
        setFinished();
    else
        setFailed();
}

void FastFileOpTaskSpecification::addRollbackData(const RollbackData& data)
{
    if (m_RollbackList)
        m_RollbackList->append(data);
}

bool FastFileOpTaskSpecification::announce(const RollbackData& data)
{
    QString error;
    if (!journalled() || m_RollbackList->disk()->write(data, &error))
        return true;
    emit message(error);
    return false;
}

bool FastFileOpTaskSpecification::journalled() const
{
    return m_RollbackList && m_RollbackList->disk();
}

void FastFileOpTaskSpecification::madeDurable(const QString& path) const
{
    if (!journalled())
        return;
    DurableFiles::syncParent(path);
    InstallJournal::step();
}
