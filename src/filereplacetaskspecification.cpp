#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "filerenametaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "installedfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const ReplaceItem& item, RollbackDataList* listJournal,
                                                           Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Item(item)
    , m_ListJournal(listJournal)
    , m_Config(config)
{
}

void FileReplaceTaskSpecification::execute()
{
    emit message(QObject::tr("add/replace %1").arg(m_Item.name));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::reset()
{
    deleteSubTasks();
    rollbackAll(&m_Journal, this);
    TaskSpecification::reset();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const InstalledFile files(m_Item, *m_Config);
    const QString installed = files.installedPath();
    const bool hasPatch = !m_Item.patchName.isEmpty();
    qDebug() << "FileReplaceTaskSpecification: spec:" << m_Item.name << " src:" << files.downloadPath()
             << " dstFile:" << installed << " hasPatch:" << hasPatch << " patchFile:" << m_Item.patchName;

    const QString oldCopy = files.oldCopyPath();
    if (QFileInfo::exists(installed) || QFileInfo(installed).isSymLink()) {
        if (QFileInfo::exists(oldCopy))
            qDebug() << "Remove" << oldCopy << QFile::remove(oldCopy);
        const QString oldDir = QFileInfo(oldCopy).absolutePath();
        if (!QFileInfo::exists(oldDir))
            qDebug() << "Created" << oldDir << QDir().mkpath(oldDir);
        addSubTask(new FileRenameTaskSpecification(installed, oldCopy, &m_Journal, this, 0.0));
    }

    switch (files.method()) {
    case InstalledFile::Method::Copy:
        addSubTask(new FileCopyTaskSpecification(&m_Journal, files.downloadPath(), installed, this, 1.0));
        break;
    case InstalledFile::Method::UnpackLzma2:
        addSubTask(new FileUnpackTaskSpecification_lzma2(&m_Journal, files.downloadPath(), installed, this, 0.8,
                                                         m_Item.size));
        addSubTask(new CheckSignatureTaskSpecification(installed, m_Item.hash, true, this, 0.2));
        break;
    case InstalledFile::Method::UnpackGzip:
        addSubTask(new FileUnpackTaskSpecification_zip(&m_Journal, files.downloadPath(), installed, this, 0.8,
                                                       m_Item.size));
        addSubTask(new CheckSignatureTaskSpecification(installed, m_Item.hash, true, this, 0.2));
        break;
    case InstalledFile::Method::Patch:
        qDebug() << "HAS PATCH" << m_Item.patchName;
        emit message(QObject::tr("Patching %1").arg(m_Item.targetName()));
        addSubTask(new FileTaskSpecification_patch(&m_Journal, oldCopy, files.patchPath(), installed, this, 0.8,
                                                   m_Item.size));
        addSubTask(new CheckSignatureTaskSpecification(installed, m_Item.hash, true, this, 0.2));
        break;
    }

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (aggregateState() == TASK_FINISHED) {
        m_ListJournal->append(m_Journal);
        m_Journal.clear();
        const QString installed = InstalledFile(m_Item, *m_Config).installedPath();
        if (InstalledFile::isExecutable(installed))
            InstalledFile::makeExecutable(installed);
    } else {
        removePartialOutput();
        rollbackAll(&m_Journal, this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceTaskSpecification::removePartialOutput()
{
    // Once the old file was moved aside, whatever lies at the installed path
    // and is not journalled is a half-written result of ours; it must go, or
    // the old file could not be moved back.
    const QString installed = InstalledFile(m_Item, *m_Config).installedPath();
    bool movedAside = false;
    bool recorded = false;
    for (const RollbackData& record : qAsConst(m_Journal)) {
        movedAside = movedAside || (record.op() == RollbackData::FILE_RENAME && record.formerPath() == installed);
        recorded = recorded || (record.op() == RollbackData::FILE_CREATE && record.path() == installed);
    }
    if (movedAside && !recorded && QFileInfo::exists(installed))
        QFile::remove(installed);
}
