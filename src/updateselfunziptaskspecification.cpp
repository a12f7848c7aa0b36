#include "updateselfunziptaskspecification.h"

#include "configuration.h"
#include "filemodes.h"
#include "filetaskspecification_patch.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "installedfile.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

UpdateSelfUnzipTaskSpecification::UpdateSelfUnzipTaskSpecification(QList<ReplaceItem>* replaceList,
                                                                   Configuration* config, QObject* parent,
                                                                   qreal weight)
    : ComposedTaskSpecification(2, parent, weight)
    , m_ReplaceList(replaceList)
    , m_Config(config)
{
}

void UpdateSelfUnzipTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void UpdateSelfUnzipTaskSpecification::reset()
{
    deleteSubTasks();
    TaskSpecification::reset();
}

void UpdateSelfUnzipTaskSpecification::makeSubtasksAndStart()
{
    // Plain files were downloaded to their place in the temporary directory.
    QList<ReplaceItem> jobs;
    for (const ReplaceItem& item : qAsConst(*m_ReplaceList))
        if (InstalledFile(item, *m_Config).method() != InstalledFile::Method::Copy)
            jobs << item;

    // The jobs share this task's weight by their sizes, so its progress
    // ends at 1.0 like every other task's.
    quint64 totalBytes = 0;
    for (const ReplaceItem& item : qAsConst(jobs))
        totalBytes += item.size;
    for (const ReplaceItem& item : qAsConst(jobs)) {
        const qreal share = byteShare(item.size, totalBytes, jobs.size());
        const InstalledFile files(item, *m_Config);
        const QString destination = files.tempTargetPath();
        qDebug() << "Extracting updater file" << item.name << item.targetName() << !item.patchName.isEmpty();
        const QString destinationDir = QFileInfo(destination).absolutePath();
        if (!QFileInfo::exists(destinationDir))
            QDir().mkpath(destinationDir);

        switch (files.method()) {
        case InstalledFile::Method::Patch: {
            const QString oldCopy = files.oldCopyPath();
            QFile::remove(oldCopy);
            QFile::copy(files.installedPath(), oldCopy);
            emit message(QObject::tr("Patching %1").arg(item.targetName()));
            addSubTask(new FileTaskSpecification_patch(nullptr, oldCopy, files.patchPath(), destination, this, share,
                                                       item.size));
            break;
        }
        case InstalledFile::Method::UnpackLzma2:
            addSubTask(new FileUnpackTaskSpecification_lzma2(nullptr, files.downloadPath(), destination, this, share,
                                                             item.size));
            break;
        case InstalledFile::Method::UnpackGzip:
        case InstalledFile::Method::Copy:
            addSubTask(new FileUnpackTaskSpecification_zip(nullptr, files.downloadPath(), destination, this, share,
                                                           item.size));
            break;
        }
    }

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void UpdateSelfUnzipTaskSpecification::subtasksDone()
{
    const bool built = aggregateState() == TASK_FINISHED;
    const bool verified = built && verifyUpdaterFiles();
    const QString tempDir = m_Config->tempDir();
    const QString updater = InstalledFile::tempPath(*m_Config, QStringLiteral("update"));
    const bool present = QFileInfo::exists(updater);
    qDebug() << "chmod +x" << updater << present;
    if (present)
        FileModes::makeExecutable(updater);

    UpdateIniData::modifyTempIni(tempDir);
    copyTranslations();
    if (built && !verified) {
        setFailed();
        return;
    }
    ComposedTaskSpecification::subtasksDone();
}

bool UpdateSelfUnzipTaskSpecification::verifyUpdaterFiles()
{
    for (const ReplaceItem& item : qAsConst(*m_ReplaceList)) {
        const InstalledFile files(item, *m_Config);
        if (files.method() == InstalledFile::Method::Copy)
            continue;
        const QString built = files.tempTargetPath();
        QFile file(built);
        QCryptographicHash hash(QCryptographicHash::Sha512);
        const bool read = file.open(QIODevice::ReadOnly) && hash.addData(&file);
        file.close();
        if (read && !item.hash.isEmpty()
            && QString::fromLatin1(hash.result().toHex()).compare(item.hash, Qt::CaseInsensitive) == 0)
            continue;
        // Nothing from the network runs unless it is what the signed list says.
        qDebug() << "Updater file does not match its checksum" << built;
        QFile::remove(built);
        const QString text = QObject::tr("The new updater file %1 does not match the checksum in the signed update "
                                         "list; the new updater is not started").arg(item.targetName());
        emit message(text);
        emit error(text);
        return false;
    }
    return true;
}

void UpdateSelfUnzipTaskSpecification::copyTranslations()
{
    const QDir source(QCoreApplication::applicationDirPath() + QStringLiteral("/translations"));
    const QStringList files = source.entryList({QStringLiteral("update_*.qm")}, QDir::Files, QDir::Unsorted);
    const QString target = InstalledFile::tempPath(*m_Config, QStringLiteral("translations"));
    if (!QFileInfo::exists(target))
        QDir().mkdir(target);
    for (const QString& name : files) {
        const QString from = source.filePath(name);
        const QString to = target + QLatin1Char('/') + name;
        qDebug() << "Copying qm file" << from << to;
        if (!QFileInfo::exists(to))
            QFile::copy(from, to);
    }
}
