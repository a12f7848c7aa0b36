#include "filedeletelisttaskspecification.h"

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteItem>* deleteList, Configuration* config, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_List(deleteList)
    , m_Config(config)
{
}

void FileDeleteListTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    setFinished();
}
