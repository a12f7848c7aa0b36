#include "filedeletelisttaskspecification.h"

#include "configuration.h"
#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<DeleteItem>* deleteList,
                                                                 Configuration* config, QObject* parent,
                                                                 qreal weight, InstallJournal* disk)
    : ComposedTaskSpecification(1, parent, weight)
    , m_DeleteList(deleteList)
    , m_Config(config)
{
    m_Journal.setDisk(disk);
}

void FileDeleteListTaskSpecification::execute()
{
    emit message(QObject::tr("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::reset()
{
    deleteSubTasks();
    TaskSpecification::reset();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QDir installDir(m_Config->installDir());
    const QString inside = QDir::cleanPath(installDir.absolutePath()) + QLatin1Char('/');
    QStringList paths;
    QList<bool> recursive;
    for (const DeleteItem& item : qAsConst(*m_DeleteList)) {
        const QString path = QFileInfo(installDir, item.path).filePath();
        // Whatever the list says, nothing outside the installation, and never
        // the installation itself, is deleted.
        if (!QDir::cleanPath(QFileInfo(path).absoluteFilePath()).startsWith(inside)) {
            qDebug() << "Refusing to delete outside the installation" << path;
            continue;
        }
        paths << path;
        recursive << item.recursive;
    }
    for (int i = 0; i < paths.size(); ++i) {
        auto* task = new FileDeleteTaskSpecification(false, paths.at(i), recursive.at(i), this, 1.0 / paths.size());
        task->setBoundary(installDir.path());
        if (m_Journal.disk())
            task->setJournal(&m_Journal);
        addSubTask(task);
    }
    m_TaskState = TASK_RUNNING;
    startSubTasks();
}
