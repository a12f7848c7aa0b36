#include "updateselfunziptaskspecification.h"

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(QList<ReplaceItem>* replaceList, Configuration* config, QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_List(replaceList)
    , m_Config(config)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    setFinished();
}
