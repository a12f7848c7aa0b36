#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "updateselfunziptaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* nam, Configuration* config,
                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Nam(nam)
    , m_Config(config)
{
}

const DownloadReplaceLists& MainTaskSpecification::lists() const
{
    return m_Lists;
}

void MainTaskSpecification::execute()
{
    const bool clientStep = m_Config->clientUpdate() != 0;
    emit message(QStringLiteral("Starting update process for ")
                 + (clientStep ? QStringLiteral("client") : QStringLiteral("updater")));

    // Step two's weights add up to 1.0; step one's to 0.95, and its final
    // setFinished() brings the progress to 1.0.
    addSubTask(new IniDownloadTaskSpecification(m_Nam, m_Config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(m_Config, &m_Lists, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&m_Lists.downloads, m_Nam, m_Config, this, 0.4));
    if (m_Config->clientUpdate() == 1) {
        addSubTask(new FileReplaceListTaskSpecification(&m_Lists.replaces, m_Config, this, 0.4));
        addSubTask(new FileDeleteListTaskSpecification(&m_Lists.deletes, m_Config, this, 0.05));
    } else {
        addSubTask(new UpdateSelfUnzipTaskSpecification(&m_Lists.replaces, m_Config, this, 0.4));
    }

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void MainTaskSpecification::reset()
{
    deleteSubTasks();
    m_Lists.clear();
    TaskSpecification::reset();
}
