#include "filereplacelisttaskspecification.h"

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceItem>* replaceList, Configuration* config, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_List(replaceList)
    , m_Config(config)
{
}

void FileReplaceListTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    setFinished();
}
