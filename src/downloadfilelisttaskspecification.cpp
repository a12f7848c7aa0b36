#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    QList<DownloadItem>* downloads, QNetworkAccessManager* nam, Configuration* config,
    QObject* parent, qreal weight)
    : ComposedTaskSpecification(config->streams(), parent, weight)
    , m_Downloads(downloads)
    , m_Nam(nam)
    , m_Config(config)
    , m_TotalBytes(0)
{
}

void DownloadFileListTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    if (m_Downloads->isEmpty()) {
        emit message(QObject::tr("No downloads needed"));
        setFinished();
        return;
    }
    if (!createTargetDirs())
        return;

    emit message(QObject::tr("Downloading files"));
    m_TotalBytes = 0;
    for (const DownloadItem& entry : qAsConst(*m_Downloads))
        m_TotalBytes += qint64(entry.size);
    for (const DownloadItem& entry : qAsConst(*m_Downloads)) {
        const qreal weight = byteShare(entry.size, quint64(m_TotalBytes), m_Downloads->size());
        addSubTask(new DownloadFileTaskSpecification(entry, m_Nam, m_Config, this, weight));
    }
    startSubTasks();
}

bool DownloadFileListTaskSpecification::createTargetDirs()
{
    const QDir tempDir(m_Config->tempDir());
    QSet<QString> made;
    for (const DownloadItem& entry : qAsConst(*m_Downloads)) {
        const QString dir = QFileInfo(entry.name).path();
        if (dir == QLatin1String(".") || made.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            emit message(QObject::tr("Could not create dir %1")
                             .arg(tempDir.canonicalPath() + QLatin1Char('/') + dir));
            setFailed();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::pollDownloadStatus(quint64* downloadDone,
                                                           quint64* downloadTotal,
                                                           quint64* newBytes, bool* downloading)
{
    ComposedTaskSpecification::pollDownloadStatus(downloadDone, downloadTotal, newBytes,
                                                  downloading);
    *downloadTotal = quint64(m_TotalBytes);
}

void DownloadFileListTaskSpecification::reset()
{
    deleteSubTasks();
    m_TotalBytes = 0;
    TaskSpecification::reset();
}
