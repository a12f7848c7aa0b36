#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "installedfile.h"
#include "modernsignature.h"
#include "signaturelist.h"
#include "truststate.h"
#include "updatefiles.h"

#include <QDebug>
#include <QFile>
#include <QSettings>
#include <QTimer>

namespace {

constexpr qreal kDownloadWeight = 0.3333;

int initialRetryBaseDelayMs()
{
#ifdef VX_TEST_HOOKS
    bool valid = false;
    const int ms = qEnvironmentVariableIntValue("VX3_TEST_INI_RETRY_MS", &valid);
    if (valid && ms >= 0)
        return ms;
#endif
    return 1000;
}

int g_RetryBaseDelayMs = initialRetryBaseDelayMs();

QString packedName(const QString& iniName)
{
    return QString::fromStdString(UpdateFiles::packedName(iniName.toStdString()));
}

QString signatureName(const QString& iniName)
{
    return QString::fromStdString(UpdateFiles::signatureName(iniName.toStdString()));
}

QString modernSignatureName(const QString& iniName)
{
    return QString::fromStdString(UpdateFiles::modernSignatureName(iniName.toStdString()));
}

}  // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(QNetworkAccessManager* nam,
                                                           Configuration* config,
                                                           QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, parent, weight)
    , m_Nam(nam)
    , m_Config(config)
    , m_RetryCount(0)
    , m_RetryTimer(new QTimer(this))
{
    m_RetryTimer->setSingleShot(true);
    connect(m_RetryTimer, &QTimer::timeout, this, &IniDownloadTaskSpecification::onRetryTimer);
}

int IniDownloadTaskSpecification::retryDelayMs(int retry)
{
    qint64 delay = g_RetryBaseDelayMs;
    for (int i = 1; i < retry && delay < kMaxRetryDelayMs; ++i)
        delay *= 2;
    return int(qMin<qint64>(delay, kMaxRetryDelayMs));
}

void IniDownloadTaskSpecification::setRetryBaseDelayMs(int ms)
{
    g_RetryBaseDelayMs = ms;
}

QString IniDownloadTaskSpecification::iniName(bool clientUpdate)
{
    return QString::fromStdString(
        UpdateFiles::productIniName(Configuration::productName(clientUpdate).toStdString()));
}

int IniDownloadTaskSpecification::retryCount() const
{
    return m_RetryCount;
}

void IniDownloadTaskSpecification::execute()
{
    m_Started.start();
    emit message(QObject::tr("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::reset()
{
    m_RetryTimer->stop();
    deleteSubTasks();
    m_RetryCount = 0;
    TaskSpecification::reset();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const QString ini = iniName(m_Config->clientUpdate() != 0);
    const QString packed = packedName(ini);
    const QString signature = signatureName(ini);
    const QString modern = modernSignatureName(ini);
    const auto temp = [this](const QString& name) { return InstalledFile::tempPath(*m_Config, name); };
    qDebug() << "makeSubtasksAndStart" << ini << packed;

    // Whatever is left after the downloads goes to the check. The unpack gets
    // no share: with both downloads the check's share is already the rest.
    qreal checkWeight = 1.0;
    if (m_RetryCount != 0 || !QFile::exists(temp(ini))) {
        qDebug() << "Requesting" << packed;
        auto* download = new DownloadTaskSpecification(m_Nam, packed, m_Config->versionNr(),
                                                       temp(packed), -1, kDownloadWeight, this);
        download->setSizeLimit(kMaxPackedIniSize);
        addSubTask(download);
        addSubTask(
            new FileUnpackTaskSpecification_lzma2(nullptr, temp(packed), temp(ini), this, 0,
                                                  kMaxUnpackedIniSize));
        checkWeight = 1.0 - kDownloadWeight;
    }
    if (m_RetryCount != 0 || !QFile::exists(temp(signature))) {
        qDebug() << "Requesting" << signature;
        auto* download = new DownloadTaskSpecification(m_Nam, signature, m_Config->versionNr(),
                                                       temp(signature), -1, kDownloadWeight, this);
        download->setSizeLimit(kMaxSignatureSize);
        addSubTask(download);
        checkWeight -= kDownloadWeight;
    }
    // A few hundred bytes: no share of the progress.
    if (m_RetryCount != 0 || !QFile::exists(temp(modern))) {
        qDebug() << "Requesting" << modern;
        auto* download =
            new DownloadTaskSpecification(m_Nam, modern, m_Config->versionNr(), temp(modern), -1, 0, this);
        download->setSizeLimit(qint64(SignatureList::kMaxSize));
        download->setMayBeMissing(true);
        addSubTask(download);
    }

    auto* check =
        new CheckSignatureTaskSpecification(temp(ini), QString(), false, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
            &IniDownloadTaskSpecification::onSigCheckDone);
    addSubTask(check);

    m_TaskState = TASK_RUNNING;
    startSubTasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    // A signed ini of another release is as unusable as a corrupt one: the
    // next attempt downloads afresh, so a stale cached copy is not reused.
    if (!pass)
        m_LastFailure = QObject::tr("its signature does not match");
    if (pass && isForRequestedRelease()) {
        const ModernOutcome modern = checkModernSignature();
        if (modern == ModernRefused) {
            setFailed();
            return;
        }
        if (modern == ModernAccepted) {
            // A release the installation must not take is refused for good:
            // downloading it again gives the same answer.
            QString refusal;
            if (!isAllowedByTrustState(&refusal)) {
                qDebug() << "Product ini refused:" << refusal;
                emit message(refusal);
                setFailed();
            }
            return;
        }
    }

    ++m_RetryCount;
    if (m_RetryCount > kMaxRetries
        || (m_Started.isValid() && m_Started.elapsed() + retryDelayMs(m_RetryCount) > kMaxVerifyMs)) {
        giveUp();
        return;
    }
    // A cancel that came while the check ran: do not start over.
    if (m_CancelRequested) {
        qDebug() << "Failed to verify product ini, cancel requested";
        setAborted();
        return;
    }

    qDebug() << "Failed to verify product ini, retrying";
    emit message(QObject::tr("Could not verify the product ini file. Retrying"));
    // A cancel made on that line may have ended the task already.
    if (m_TaskState != TASK_RUNNING)
        return;
    // The finished attempt goes now (its check ends without reaching this
    // task); the task stays running through the wait, so that a cancel
    // reaches it.
    deleteSubTasks();
    setProgress(0);
    if (m_CancelRequested) {
        setAborted();
        return;
    }
    // Waiting before the line that announces it, so that a cancel made on
    // the line finds the wait.
    const int delay = retryDelayMs(m_RetryCount);
    m_RetryTimer->start(delay);
    if (delay > 0) {
        qDebug() << "Waiting before the next attempt" << QString::number(delay);
        const int seconds = (delay + 999) / 1000;
        emit message(seconds == 1 ? QObject::tr("Next attempt in 1 second")
                                  : QObject::tr("Next attempt in %1 seconds").arg(seconds));
    }
}

void IniDownloadTaskSpecification::giveUp()
{
    qDebug() << "Failed to verify product ini, aborting";
    const qint64 seconds = m_Started.isValid() ? m_Started.elapsed() / 1000 : 0;
    emit message(QObject::tr("Could not verify the product ini file: %1 (%2 attempts in %3 s). Aborting")
                     .arg(m_LastFailure)
                     .arg(m_RetryCount)
                     .arg(seconds));
    setFailed();
}

void IniDownloadTaskSpecification::onRetryTimer()
{
    if (m_TaskState != TASK_RUNNING)
        return;
    if (m_CancelRequested) {
        setAborted();
        return;
    }
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::cancel()
{
    if (m_TaskState == TASK_RUNNING && m_RetryTimer->isActive()) {
        TaskSpecification::cancel();
        m_RetryTimer->stop();
        qDebug() << "Cancelled while waiting to retry";
        setAborted();
        return;
    }
    ComposedTaskSpecification::cancel();
}

bool IniDownloadTaskSpecification::isForRequestedRelease()
{
    const bool client = m_Config->clientUpdate() != 0;
    const QSettings ini(InstalledFile::tempPath(*m_Config, iniName(client)), QSettings::IniFormat);
    const QVariant version = ini.value(QStringLiteral("version"));
    const QString wantedVersion = QString::number(m_Config->versionNr());
    if (version.isValid() && version.toString() != wantedVersion) {
        m_LastFailure = QObject::tr("Product ini is for version %1, expected version %2")
                            .arg(version.toString(), wantedVersion);
        emit message(m_LastFailure);
        return false;
    }
    const QVariant product = ini.value(QStringLiteral("product"));
    const QString wantedProduct = Configuration::productName(client);
    if (product.isValid() && product.toString() != wantedProduct) {
        m_LastFailure = QObject::tr("Product ini is for product %1, expected product %2")
                            .arg(product.toString(), wantedProduct);
        emit message(m_LastFailure);
        return false;
    }
    return true;
}

IniDownloadTaskSpecification::ModernOutcome IniDownloadTaskSpecification::checkModernSignature()
{
    const QString ini = InstalledFile::tempPath(*m_Config, iniName(m_Config->clientUpdate() != 0));
    const QString modern = modernSignatureName(ini);
    QString detail;
    m_Config->setModernSignatureVerified(false);
    switch (ModernSignature::check(ini, modern, &detail)) {
    case ModernSignature::Valid:
        m_Config->setModernSignatureVerified(true);
        emit message(QObject::tr("The product ini is signed by the trusted key %1").arg(detail));
        return ModernAccepted;
    case ModernSignature::Absent:
        // Fetching again would not make a missing signature appear.
        if (!isModernSignatureOptional(&detail)) {
            qDebug() << "Product ini refused:" << detail;
            emit message(detail);
            return ModernRefused;
        }
        emit message(QObject::tr("The product ini has no Ed25519 signature; accepted, as releases "
                                 "made before modern signatures are"));
        return ModernAccepted;
    case ModernSignature::Untrusted:
        emit message(QObject::tr("Refused: the product ini is signed only by keys this updater "
                                 "does not trust (%1)")
                         .arg(detail));
        return ModernRefused;
    case ModernSignature::Invalid:
        break;
    }
    m_LastFailure = QObject::tr("The Ed25519 signature of the product ini is not valid: %1").arg(detail);
    emit message(m_LastFailure);
    return ModernRetry;
}

bool IniDownloadTaskSpecification::isModernSignatureOptional(QString* refusal)
{
    TrustState trust;
    if (!trust.load(m_Config->installDir(), refusal))
        return false;
    if (!trust.requiresModernSignature())
        return true;
    *refusal =
        QObject::tr("Refused: the product ini is not signed with a current key (it has no Ed25519 "
                    "signature); this installation requires it, since it installed a release that was");
    return false;
}

int IniDownloadTaskSpecification::boundVersion(const Configuration& config)
{
    const QSettings ini(InstalledFile::tempPath(config, iniName(config.clientUpdate() != 0)),
                        QSettings::IniFormat);
    const QVariant version = ini.value(QStringLiteral("version"));
    if (!version.isValid() || !ini.value(QStringLiteral("product")).isValid())
        return 0;
    return version.toInt();
}

bool IniDownloadTaskSpecification::isAllowedByTrustState(QString* refusal)
{
    TrustState trust;
    if (!trust.load(m_Config->installDir(), refusal))
        return false;
    const int floor = trust.floor();
    const int wanted = m_Config->versionNr();
    if (floor == 0)
        return true;
    if (boundVersion(*m_Config) == 0) {
        *refusal = QObject::tr("The product ini of version %1 does not name its version and product; "
                               "installed version %2 takes only product inis that do; not installed")
                       .arg(wanted)
                       .arg(floor);
        return false;
    }
    if (wanted >= floor)
        return true;
    if (m_Config->localRevision()) {
        emit message(QObject::tr("Going back to version %1, the revision set in update.ini").arg(wanted));
        return true;
    }
    const QSettings ini(InstalledFile::tempPath(*m_Config, iniName(m_Config->clientUpdate() != 0)),
                        QSettings::IniFormat);
    if (ini.value(QLatin1String(kAllowDowngradeKey)).toString() == QLatin1String("1")) {
        emit message(QObject::tr("Going back to version %1, which its publisher allows").arg(wanted));
        return true;
    }
    *refusal = QObject::tr("Version %1 is older than the installed version %2; not installed")
                   .arg(wanted)
                   .arg(floor);
    return false;
}
