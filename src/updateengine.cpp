#include "updateengine.h"

#include "banner.h"
#include "bannercache.h"
#include "configuration.h"
#include "crypto.h"
#include "maintaskspecification.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QProcessEnvironment>
#include <QSettings>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include <cstdlib>
#include <ctime>

namespace {

const int kTimerIntervalMs = 1000;
const quint16 kDefaultProxyPort = 3128;
const qint64 kBannerSizeLimit = BannerCache::kMaxImageSize;

// A wrong state is a programming error: stop, whatever the build type.
void requireState(bool holds, const char* condition)
{
    if (!holds)
        qFatal("ASSERT: \"%s\" in %s", condition, "UpdateEngine");
}

// Removes the session record from the program directory's update.ini but
// keeps the user's groups (channel, proxy, parallel downloads); a file left
// with nothing in it goes.
void removeSessionRecord()
{
    const QString path = UpdateIniData::iniPath();
    {
        QSettings settings(path, QSettings::IniFormat);
        settings.remove(QStringLiteral("current"));
        settings.sync();
        if (!settings.allKeys().isEmpty())
            return;
    }
    QFile::remove(path);
}

} // namespace

UpdateEngine::UpdateEngine(Configuration* config, QObject* parent)
    : QObject(parent)
    , m_State(PRE_INIT)
    , m_Config(config)
    , p_MainTask(nullptr)
    , m_Timer(new QTimer(this))
    , m_Nam(new QNetworkAccessManager(this))
    , p_BannerReply(nullptr)
    , m_BannerLookupRunning(false)
    , m_TickIntervalMs(kTimerIntervalMs)
{
    connect(m_Config, &Configuration::message, this, &UpdateEngine::message);
    connect(m_Timer, &QTimer::timeout, this, &UpdateEngine::onTimer);
    m_Config->readUpdateIniSettings();
    setUpProxy();
    setUpTrustedAuthorities();
}

void UpdateEngine::setUpTrustedAuthorities()
{
    // HTTPS servers are checked against the system's certificate authorities;
    // tests and private deployments add their own CA with a PEM file. The
    // setting is process-wide (the banner image uses it too), so each engine
    // starts again from the configuration the process began with.
    static const QSslConfiguration original = QSslConfiguration::defaultConfiguration();
    QSslConfiguration configuration = original;
    const QString caFile = QProcessEnvironment::systemEnvironment().value(QStringLiteral("VX3_UPDATE_CA_FILE"));
    if (!caFile.isEmpty()) {
        QFile file(caFile);
        const QList<QSslCertificate> added =
            file.open(QIODevice::ReadOnly) ? QSslCertificate::fromData(file.readAll(), QSsl::Pem)
                                           : QList<QSslCertificate>();
        if (added.isEmpty()) {
            const QString text = QObject::tr("No certificate authority could be read from '%1'").arg(caFile);
            QTimer::singleShot(0, this, [this, text] { emit fatalError(text); });
        } else {
            // Setting any list ends the lazy loading of the system's list.
            configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + added);
        }
    }
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void UpdateEngine::setUpProxy()
{
    QString spec = m_Config->proxy();
    if (spec.isEmpty()) {
        m_Nam->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        return;
    }
    // Most people write a proxy as "host:port", which would parse as a URL
    // with scheme "host" and no host at all.
    if (!spec.contains(QLatin1String("://")))
        spec = QStringLiteral("http://") + spec;

    const QUrl url(spec, QUrl::TolerantMode);
    const QString host = url.host(QUrl::FullyDecoded);
    if (url.isValid() && !host.isEmpty()) {
        const int port = url.port(kDefaultProxyPort);
        m_Nam->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, host, static_cast<quint16>(port)));
        return;
    }
    // The window connects to the engine only after constructing it, so the
    // report waits for the event loop.
    const QString text = QObject::tr("'%1' is an invalid proxy specification").arg(m_Config->proxy());
    QTimer::singleShot(0, this, [this, text] { emit fatalError(text); });
}

UpdateEngine::~UpdateEngine()
{
    // The task tree holds replies of the access manager; it goes first, while
    // those replies still exist.
    delete p_MainTask;
    p_MainTask = nullptr;
    if (p_BannerReply) {
        p_BannerReply->disconnect(this);
        p_BannerReply->abort();
        p_BannerReply = nullptr;
    }
}

bool UpdateEngine::initialize()
{
    requireState(m_State == PRE_INIT, "m_State == PRE_INIT");

    // A library that cannot set up its algorithms must not end the process
    // from inside the event loop; it ends the session as a fatal error.
    try {
        initCrypto();
    } catch (const crypt_exception& e) {
        emit fatalError(QObject::tr("Unable to initialize signature checks: %1").arg(QString::fromUtf8(e.what())));
        return false;
    }
    std::srand(static_cast<unsigned>(std::time(nullptr)));

    int recordedVersion = 0;
    QString tempDir;
    QString installDir;
    if (UpdateIniData::get(&recordedVersion, nullptr, &tempDir, &installDir))
        checkRecordedSession(recordedVersion, &tempDir, &installDir);
    if (!takeSessionDirectory(tempDir, installDir))
        return false;

    qDebug() << "initialize" << "modifying update.ini" << m_Config->clientUpdate();
    UpdateIniData::modify(m_Config->versionNr(), m_Config->tempDir(), m_Config->installDir(),
                          m_Config->clientType());
    m_State = POST_INIT;
    return true;
}

void UpdateEngine::checkRecordedSession(int recordedVersion, QString* tempDir, QString* installDir)
{
    qDebug() << "Current version =" << recordedVersion << "/ new version =" << m_Config->versionNr();
    if (recordedVersion != m_Config->versionNr()) {
        qDebug() << "Cleaning up previous session";
        emit message(
            QObject::tr("Cleanup previous session (v. %1, %2) files...").arg(recordedVersion).arg(*tempDir));
        if (SessionDirectory::isSessionDirectory(*tempDir) && !SessionDirectory::inUse(*tempDir))
            removeSessionDirectory(*tempDir, true);
        else
            qDebug() << "Recorded directory is no session directory or in use, left alone:" << *tempDir;
        tempDir->clear();
        installDir->clear();
        removeSessionRecord();
        return;
    }
    qDebug() << "Continuing previous session";
    emit message(QObject::tr("Previous update session for v. %1 found").arg(recordedVersion));
    if (!SessionDirectory::isSessionDirectory(*tempDir)) {
        // Never work in, and later empty, a directory we did not make.
        qDebug() << "Recorded directory is no session directory, not using it:" << *tempDir;
        tempDir->clear();
    }
    if (!installDir->isEmpty() && !QFileInfo(*installDir).isDir()) {
        qDebug() << "Recorded installation is gone, not using it:" << *installDir;
        installDir->clear();
    }
}

bool UpdateEngine::takeSessionDirectory(QString tempDir, const QString& installDir)
{
    // Step one's lock goes on to the new updater it starts.
    const bool inheritable = m_Config->clientUpdate() == 0;
    if (!tempDir.isEmpty() && !m_SessionDir.lock(tempDir, inheritable)) {
        qDebug() << "Recorded directory is being removed, not using it:" << tempDir;
        tempDir.clear();
    }
    if (!m_Config->initalizeStart(tempDir, installDir))
        return false;
    // Another updater's sweep may take a new directory between its creation
    // and the lock; then the next one is taken.
    if (!m_SessionDir.isLocked() && !m_SessionDir.lock(m_Config->tempDir(), inheritable)) {
        if (!m_Config->initalizeStart(QString(), installDir))
            return false;
        if (!m_SessionDir.lock(m_Config->tempDir(), inheritable)) {
            emit fatalError(
                QObject::tr("Unable to take the temporary directory %1").arg(m_Config->tempDir()));
            return false;
        }
    }
    // The client must never be installed into a session directory: that
    // happens when step two has no recorded installation and would take its
    // own program directory, and its files would go with the clean-up.
    if (m_Config->clientUpdate() && SessionDirectory::isSessionDirectory(m_Config->installDir())) {
        emit fatalError(
            QObject::tr("The installation to update is unknown: no valid update session is recorded "
                        "in %1. Start the update from the installation's updater.")
                .arg(UpdateIniData::iniPath()));
        return false;
    }
    QStringList parents{QDir::tempPath()};
    if (Configuration::sessionParent() != parents.first())
        parents << Configuration::sessionParent();
    for (const QString& parent : qAsConst(parents))
        for (const QString& stale : SessionDirectory::removeStale(parent, m_Config->tempDir()))
            emit message(QObject::tr("Removed the files of an abandoned update session in %1").arg(stale));
    return true;
}

bool UpdateEngine::startUpdate()
{
    qDebug() << "Starting update";
    requireState(m_State == POST_INIT, "m_State == POST_INIT");

    p_MainTask = new MainTaskSpecification(m_Nam, m_Config, this, 1.0);
    connect(p_MainTask, &TaskSpecification::finished, this, &UpdateEngine::onTaskFinished);
    connect(p_MainTask, &TaskSpecification::canceled, this, &UpdateEngine::onTaskCanceled);
    connect(p_MainTask, &TaskSpecification::error, this, &UpdateEngine::error);
    connect(p_MainTask, &TaskSpecification::updateProgress, this, &UpdateEngine::updateProgress);
    connect(p_MainTask, &TaskSpecification::message, this, &UpdateEngine::message);

    m_State = RUNNING;
    m_Timer->start(m_TickIntervalMs);
    m_SinceTick.start();
    p_MainTask->execute();
    return true;
}

void UpdateEngine::setTickIntervalForTests(int ms)
{
    m_TickIntervalMs = ms;
}

bool UpdateEngine::isActive() const
{
    return m_State == POST_INIT || m_State == RUNNING;
}

int UpdateEngine::state() const
{
    return m_State;
}

QNetworkAccessManager* UpdateEngine::networkAccessManager() const
{
    return m_Nam;
}

void UpdateEngine::resetAfterCancel()
{
    requireState(m_State == CANCELED, "m_State==CANCELED");
    m_State = PRE_INIT;
    forgetMainTask();
}

void UpdateEngine::cancelUpdate()
{
    if (m_State == RUNNING && p_MainTask)
        p_MainTask->cancel();
}

void UpdateEngine::onTimer()
{
    if (m_State != RUNNING || !p_MainTask)
        return;
    quint64 done = 0;
    quint64 total = 0;
    quint64 newBytes = 0;
    bool downloading = false;
    p_MainTask->pollDownloadStatus(&done, &total, &newBytes, &downloading);
    // The tick is due once a second but comes late while the GUI thread is
    // busy; the bytes are divided by the time that really passed.
    const qint64 ms = m_SinceTick.restart();
    const quint64 speed = ms > 0 ? quint64(double(newBytes) * 1000.0 / double(ms)) : newBytes;
    emit downloadProgress(done, total, speed, downloading);
}

void UpdateEngine::onTaskFinished()
{
    m_Timer->stop();
    cleanup();
    m_State = FINISHED;
    emit message(QObject::tr("Update successfully finished"));
    forgetMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateFinished();
}

void UpdateEngine::onTaskCanceled()
{
    m_Timer->stop();
    m_State = CANCELED;
    if (p_MainTask && p_MainTask->taskState() == TaskSpecification::TASK_ABORTED)
        emit message(QObject::tr("User aborted update"));
    forgetMainTask();
    emit downloadProgress(0, 0, 0, false);
    emit updateCanceled();
}

void UpdateEngine::forgetMainTask()
{
    if (!p_MainTask)
        return;
    p_MainTask->disconnect(this);
    p_MainTask->deleteLater();
    p_MainTask = nullptr;
}

void UpdateEngine::cleanup()
{
    qDebug() << "cleanup";
    if (m_Config->clientUpdate() == 0) {
        // Step one: the new updater in the session directory takes over, and
        // finds the session through its own copy of the record.
        removeSessionRecord();
        qDebug() << "Deleted local update.ini" << UpdateIniData::iniPath();
        emit message(QObject::tr("Removed temporary update.ini"));
        return;
    }

    qDebug() << "Removing temporary files";
    emit message(QObject::tr("Remove temporary files..."));
    QString tempDir;
    if (UpdateIniData::get(nullptr, nullptr, &tempDir, nullptr)) {
        if (SessionDirectory::isSessionDirectory(tempDir))
            removeSessionDirectory(tempDir, false);
        QFile::remove(UpdateIniData::iniPath());
    }
    emit message(QObject::tr("Temporary files removed."));
}

void UpdateEngine::removeSessionDirectory(const QString& dir, bool reportResult)
{
    SessionDirectory::removeContents(dir);
    const QFileInfo info(dir);
    QDir parent = info.dir();
    if (!parent.exists())
        return;
    const bool removed = parent.rmdir(info.fileName());
    if (reportResult)
        emit message(removed ? QObject::tr("Ok") : QObject::tr("Failed to remove directory"));
}

void UpdateEngine::getBanner()
{
    QByteArray image;
    QString clickUrl;
    if (BannerCache::read(&image, &clickUrl)) {
        qDebug() << "Found temp banner" << clickUrl;
        emit bannerFound(image, clickUrl);
        return;
    }
    if (m_BannerLookupRunning || p_BannerReply)
        return;
    m_BannerLookupRunning = true;
    auto* banner = new Banner(this);
    connect(banner, &Banner::bannerFound, this, &UpdateEngine::onBannerFound);
    banner->run();
}

void UpdateEngine::onBannerFound(QString bannerUrl, QString clickUrl)
{
    qDebug() << "Found banner" << bannerUrl << clickUrl;
    m_BannerLookupRunning = false;
    if (sender())
        sender()->deleteLater();
    // One banner download at a time; a second reply of the lookup changes nothing.
    if (p_BannerReply)
        return;
    const QUrl url(bannerUrl, QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))) {
        qDebug() << "Banner url is invalid:" << bannerUrl;
        return;
    }
    qDebug() << "Requesting banner from" << url;
    m_BannerClickUrl = clickUrl;
    p_BannerReply = m_Nam->get(QNetworkRequest(url));
    connect(p_BannerReply, &QNetworkReply::finished, this, &UpdateEngine::onBannerDownloadFinished);
    connect(p_BannerReply, &QNetworkReply::metaDataChanged, this, &UpdateEngine::onBannermetaDataChanged);
    connect(p_BannerReply, &QNetworkReply::downloadProgress, this, &UpdateEngine::onBannerDownloadProgress);
}

void UpdateEngine::onBannermetaDataChanged()
{
    if (!p_BannerReply || sender() != p_BannerReply)
        return;
    const QVariant length = p_BannerReply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > kBannerSizeLimit) {
        qDebug() << "Banner size too large: " << length.toLongLong();
        dropBannerReply();
    }
}

void UpdateEngine::onBannerDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    // A server that announces no length could otherwise send without end.
    if (p_BannerReply && sender() == p_BannerReply && bytesReceived > kBannerSizeLimit) {
        qDebug() << "Banner size too large: " << bytesReceived;
        dropBannerReply();
    }
}

void UpdateEngine::onBannerDownloadFinished()
{
    if (!p_BannerReply || sender() != p_BannerReply)
        return;
    qDebug() << "Banner download finished";
    const QByteArray data = p_BannerReply->read(kBannerSizeLimit + 1);
    p_BannerReply->deleteLater();
    p_BannerReply = nullptr;
    if (data.size() > kBannerSizeLimit) {
        qDebug() << "Banner size too large: " << data.size();
        return;
    }
    emit bannerFound(data, m_BannerClickUrl);
}

void UpdateEngine::dropBannerReply()
{
    QNetworkReply* reply = p_BannerReply;
    p_BannerReply = nullptr;
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
}
