#include "steptworun.h"

#include "processtools.h"
#include "unattendedrun.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QTimer>

StepTwoRun::StepTwoRun(QObject* parent)
    : QObject(parent)
    , m_Deadline(new QTimer(this))
    , m_ConfirmationDir(QDir::tempPath() + QStringLiteral("/voxaro_confirm_XXXXXX"))
{
    if (m_ConfirmationDir.isValid() && !m_ConfirmationLock.lock(m_ConfirmationDir.path(), false))
        qDebug() << "Could not lock" << m_ConfirmationDir.path();
    m_Deadline->setSingleShot(true);
    connect(m_Deadline, &QTimer::timeout, this, &StepTwoRun::onConfirmationDue);
}

bool StepTwoRun::start(const QString& dir, const QStringList& arguments, int confirmWithinMs)
{
    m_ConfirmationFile = m_ConfirmationDir.filePath(QStringLiteral("confirmed"));
    m_ConfirmWithinMs = confirmWithinMs;
    m_Process = ProcessTools::runClientUpdater(dir, arguments,
                                               UnattendedRun::stepTwoEnvironment(m_ConfirmationFile), this);
    if (!m_Process)
        return false;
    connect(m_Process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            &StepTwoRun::onFinished);
    m_Deadline->start(confirmWithinMs);
    return true;
}

bool StepTwoRun::confirmed() const
{
    return QFile::exists(m_ConfirmationFile);
}

void StepTwoRun::onFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    m_Deadline->stop();
    if (!confirmed()) {
        emit ended(UnattendedRun::StepTwoNotRun,
                   tr("The new updater ended with exit status %1 without running unattended").arg(exitCode));
        return;
    }
    const int status = exitStatus == QProcess::NormalExit ? exitCode : int(UnattendedRun::StepTwoNotRun);
    emit ended(status, tr("Step two ended with exit status %1").arg(status));
}

void StepTwoRun::onConfirmationDue()
{
    if (confirmed())
        return;
    qDebug() << "No confirmation from" << m_Process->program();
    // Destroying the process object would kill the updater; it is let go
    // instead and outlives this process.
    m_Process->disconnect(this);
    m_Process->setParent(nullptr);
    m_Process = nullptr;
    emit ended(
        UnattendedRun::StepTwoNotRun,
        tr("The new updater did not confirm an unattended run within %1 s; it is left running on its own")
            .arg(m_ConfirmWithinMs / 1000.0));
}
