#include "filereplacelisttaskspecification.h"

#include "configuration.h"
#include "dircreatetaskspecification.h"
#include "filereplacetaskspecification.h"
#include "installedfile.h"

#include <QFileInfo>
#include <QSet>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<ReplaceItem>* replaceList,
                                                                   Configuration* config, QObject* parent,
                                                                   qreal weight, InstallJournal* disk)
    : ComposedTaskSpecification(2, parent, weight)
    , m_ReplaceList(replaceList)
    , m_Config(config)
{
    m_Journal.setDisk(disk);
}

void FileReplaceListTaskSpecification::execute()
{
    emit message(QObject::tr("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::reset()
{
    deleteSubTasks();
    rollbackAll(&m_Journal, this);
    TaskSpecification::reset();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    QSet<QString> seen;
    QStringList missing;
    for (const ReplaceItem& item : qAsConst(*m_ReplaceList)) {
        const QString dir = QFileInfo(InstalledFile(item, *m_Config).installedPath()).path();
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing << dir;
    }
    // Sorted, a parent comes before its children.
    missing.sort(Qt::CaseSensitive);
    for (const QString& dir : qAsConst(missing))
        addSubTask(new DirCreateTaskSpecification(dir, &m_Journal, this, 0.1 / missing.size()));

    const qreal fileShare = missing.isEmpty() ? 1.0 : 0.9;
    quint64 totalBytes = 0;
    for (const ReplaceItem& item : qAsConst(*m_ReplaceList))
        totalBytes += item.size;
    for (const ReplaceItem& item : qAsConst(*m_ReplaceList))
        addSubTask(new FileReplaceTaskSpecification(
            item, &m_Journal, m_Config, this,
            fileShare * byteShare(item.size, totalBytes, m_ReplaceList->size())));

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    if (aggregateState() != TASK_FINISHED) {
        emit message(QObject::tr("rolling back file updates"));
        rollbackAll(&m_Journal, this);
    }
    ComposedTaskSpecification::subtasksDone();
}
