#include "maintaskspecification.h"

#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "inidownloadtaskspecification.h"
#include "installchecktaskspecification.h"
#include "installjournal.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "truststate.h"
#include "updateselfunziptaskspecification.h"

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* nam, Configuration* config,
                                             QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Nam(nam)
    , m_Config(config)
{
}

MainTaskSpecification::~MainTaskSpecification() = default;

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
    addSubTask(new InstallCheckTaskSpecification(m_Config, nullptr, this, 0.0));
    addSubTask(new IniDownloadTaskSpecification(m_Nam, m_Config, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(m_Config, &m_Lists, this, 0.05));
    addSubTask(new InstallCheckTaskSpecification(m_Config, &m_Lists, this, 0.0));
    addSubTask(new DownloadFileListTaskSpecification(&m_Lists.downloads, m_Nam, m_Config, this, 0.4));
    if (m_Config->clientUpdate() == 1) {
        m_InstallJournal = std::make_unique<InstallJournal>(m_Config->installDir());
        addSubTask(new FileReplaceListTaskSpecification(&m_Lists.replaces, m_Config, this, 0.4,
                                                        m_InstallJournal.get()));
        addSubTask(new FileDeleteListTaskSpecification(&m_Lists.deletes, m_Config, this, 0.05,
                                                       m_InstallJournal.get()));
    } else {
        addSubTask(new UpdateSelfUnzipTaskSpecification(&m_Lists.replaces, m_Config, this, 0.4));
    }

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void MainTaskSpecification::reset()
{
    deleteSubTasks();
    if (m_InstallJournal)
        m_InstallJournal->rollBack(this);
    m_InstallJournal.reset();
    m_Lists.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::subtasksDone()
{
    if (m_InstallJournal) {
        if (aggregateState() == TASK_FINISHED) {
            if (!m_InstallJournal->commit(this)) {
                // Not marked done, so the next start would undo it anyway:
                // undo it now and say so.
                emit message(QObject::tr("rolling back the installation"));
                m_InstallJournal->rollBack(this);
                m_InstallJournal.reset();
                setFailed();
                return;
            }
            recordTrust();
        } else if (!m_InstallJournal->rollBack(this)) {
            emit error(QObject::tr("The installation could not be restored completely; see the log. "
                                   "The next start of the updater tries again."));
        }
        m_InstallJournal.reset();
    }
    ComposedTaskSpecification::subtasksDone();
}

void MainTaskSpecification::recordTrust()
{
    const QString installDir = m_Config->installDir();
    TrustState trust;
    QString error;
    bool changed = false;
    if (trust.load(installDir, &error)) {
        // An ini without binding leaves an installation without a floor.
        const int installed = IniDownloadTaskSpecification::boundVersion(*m_Config);
        if (installed != 0 && installed != trust.floor()) {
            trust.setFloor(installed);
            changed = true;
        }
        // Never back: a pin only grows.
        if (m_Config->answerTime() > trust.answerTime()) {
            trust.setAnswerTime(m_Config->answerTime());
            changed = true;
        }
        // From the first release signed with a trusted Ed25519 key on, no
        // product ini without such a signature is taken.
        if (m_Config->modernSignatureVerified() && !trust.requiresModernSignature()) {
            trust.setRequiresModernSignature();
            changed = true;
        }
        if (!changed || trust.write(installDir, &error))
            return;
    }
    // The update is installed; only its record is missing, so the next
    // session simply records it again.
    emit message(error);
}
