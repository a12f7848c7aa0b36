#include "filereplacetaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "filecopytaskspecification.h"
#include "fileplacetaskspecification.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "installedfile.h"
#include "installjournal.h"

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
    m_Journal.setDisk(listJournal->disk());
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

    // The new file is produced and checked beside the installation and only
    // then renamed into place; the installed file stays whole until then, so
    // a patch reads it where it is.
    QString newFile = files.newFilePath();
    QString kept = files.oldCopyPath();
    if (InstallJournal* disk = m_Journal.disk()) {
        QString error;
        newFile = disk->newStagingPath(&error);
        kept = newFile.isEmpty() ? QString() : disk->newKeptPath(&error);
        if (kept.isEmpty()) {
            emit message(error);
            m_TaskState = TASK_RUNNING;
            setFailed();
            return;
        }
    } else {
        QDir().mkpath(QFileInfo(newFile).absolutePath());
    }
    QFile::remove(newFile);

    // The user knows the installed file, not the place where its new
    // content is produced.
    SlowFileOpSpecification* produce = nullptr;
    switch (files.method()) {
    case InstalledFile::Method::Copy:
        produce = new FileCopyTaskSpecification(nullptr, files.downloadPath(), newFile, this, 1.0);
        produce->setFailText(QObject::tr("Could not copy '%1' to '%2'").arg(files.downloadPath(), installed));
        break;
    case InstalledFile::Method::UnpackLzma2:
        produce = new FileUnpackTaskSpecification_lzma2(nullptr, files.downloadPath(), newFile, this, 0.8,
                                                        m_Item.size);
        produce->setFailText(
            QObject::tr("Could not unpack '%1' to '%2'").arg(files.downloadPath(), installed));
        break;
    case InstalledFile::Method::UnpackGzip:
        produce = new FileUnpackTaskSpecification_zip(nullptr, files.downloadPath(), newFile, this, 0.8,
                                                      m_Item.size);
        produce->setFailText(
            QObject::tr("Could not unzip '%1' to '%2'").arg(files.downloadPath(), installed));
        break;
    case InstalledFile::Method::Patch:
        qDebug() << "HAS PATCH" << m_Item.patchName;
        emit message(QObject::tr("Patching %1").arg(m_Item.targetName()));
        produce = new FileTaskSpecification_patch(nullptr, installed, files.patchPath(), newFile, this, 0.8,
                                                  m_Item.size);
        produce->setFailText(QObject::tr("Could not patch '%1'").arg(installed));
        break;
    }
    addSubTask(produce);
    if (files.method() != InstalledFile::Method::Copy) {
        auto* check = new CheckSignatureTaskSpecification(newFile, m_Item.hash, true, this, 0.2);
        check->setShownName(installed);
        addSubTask(check);
    }
    addSubTask(new FilePlaceTaskSpecification(newFile, installed, kept, &m_Journal, this, 0.0));

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (aggregateState() == TASK_FINISHED) {
        m_ListJournal->append(m_Journal);
        m_Journal.clear();
    } else {
        rollbackAll(&m_Journal, this);
    }
    ComposedTaskSpecification::subtasksDone();
}
