#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "installedfile.h"

#include <QDebug>
#include <QFile>

namespace {

// Five attempts per file, counting downloads that failed and downloads whose
// hash did not match alike.
constexpr int kMaxAttempts = 5;

} // namespace

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadItem& entry,
                                                             QNetworkAccessManager* nam,
                                                             Configuration* config,
                                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Entry(entry)
    , m_Nam(nam)
    , m_Config(config)
    , m_Download(nullptr)
    , m_CheckFailed(false)
    , m_OtherTaskCancelled(false)
{
}

QString DownloadFileTaskSpecification::relativeName() const
{
    return m_Entry.section + QLatin1Char('/') + m_Entry.name;
}

QString DownloadFileTaskSpecification::targetPath() const
{
    return InstalledFile::tempPath(*m_Config, m_Entry.name);
}

void DownloadFileTaskSpecification::execute()
{
    m_OtherTaskCancelled = false;
    makeSubtasksAndStart(0);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart(int attemptsUsed)
{
    m_CheckFailed = false;
    m_Download = new DownloadTaskSpecification(m_Nam, relativeName(), m_Config->versionNr(),
                                               targetPath(), qint64(m_Entry.size), 0.8, this);
    m_Download->setFailedAttempts(attemptsUsed);
    addSubTask(m_Download);

    auto* check = new CheckSignatureTaskSpecification(targetPath(), m_Entry.hash, false, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    startSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    // Nothing after this task may find the rejected bytes under the name of
    // a verified download.
    m_CheckFailed = true;
    if (!QFile::remove(targetPath()))
        qDebug() << "Could not remove rejected download" << targetPath();
}

void DownloadFileTaskSpecification::subtasksDone()
{
    if (!m_CheckFailed || aggregateState() != TASK_FINISHED) {
        ComposedTaskSpecification::subtasksDone();
        return;
    }
    if (m_CancelRequested) {
        setAborted();
        return;
    }
    if (m_OtherTaskCancelled) {
        setFailed();
        return;
    }
    const int attemptsUsed = m_Download->failedAttempts() + 1;
    if (attemptsUsed >= kMaxAttempts) {
        emit message(QObject::tr("Unable to download %1").arg(relativeName()));
        setFailed();
        return;
    }
    // A fresh download and check: the finished ones cannot run again without
    // a reset, and resetting a check waits for the whole thread pool.
    deleteSubTasks();
    m_Download = nullptr;
    makeSubtasksAndStart(attemptsUsed);
}

void DownloadFileTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    m_OtherTaskCancelled = true;
    ComposedTaskSpecification::handleOtherTaskCancelled(other);
}

void DownloadFileTaskSpecification::reset()
{
    deleteSubTasks();
    m_Download = nullptr;
    m_CheckFailed = false;
    m_OtherTaskCancelled = false;
    TaskSpecification::reset();
}
