#include "makedownloadreplacelisttaskspecification.h"

#include "makedownloadreplacelistfunc.h"

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(
    Configuration* config, DownloadReplaceLists* lists, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Config(config)
    , m_SharedLists(lists)
{
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunc()
{
    return new MakeDownloadReplaceListFunc(m_Config, &m_OwnLists);
}

void MakeDownloadReplaceListTaskSpecification::handleRunResult(bool res)
{
    // A result of a run that was reset is not ours to hand on.
    if (res && m_TaskState == TASK_RUNNING) {
        m_SharedLists->downloads = m_OwnLists.downloads;
        m_SharedLists->replaces = m_OwnLists.replaces;
        m_SharedLists->deletes = m_OwnLists.deletes;
    }
    ASyncTaskSpecification::handleRunResult(res);
}
