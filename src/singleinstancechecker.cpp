#include "singleinstancechecker.h"

#include "configuration.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kWaitMs = 1000;
const int kInstallRetryMs = 1000;
const int kInstallRetries = 30;

// A directory in which only this user can make or remove names.
bool isPrivateDirectory(const QString& dir, mode_t forbidden)
{
    struct stat info;
    return !dir.isEmpty() && QDir::isAbsolutePath(dir)
           && ::stat(QFile::encodeName(dir).constData(), &info) == 0 && S_ISDIR(info.st_mode)
           && info.st_uid == ::geteuid() && (info.st_mode & forbidden) == 0;
}

bool fitsSocketAddress(const QString& path)
{
    return QFile::encodeName(path).size() < int(sizeof(sockaddr_un::sun_path));
}

// The peer of a connected local socket runs as this user.
bool isOwnPeer(const QLocalSocket& socket)
{
    ucred peer{};
    socklen_t length = sizeof peer;
    const int fd = int(socket.socketDescriptor());
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0
           && peer.uid == ::geteuid();
}

} // namespace

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , m_Server(new QLocalServer(this))
{
    connect(m_Server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    listenRecovering(m_Server, serverName());
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    m_Server->close();
    if (m_InstallServer)
        m_InstallServer->close();
    if (m_Socket)
        m_Socket->close();
}

QString SingleInstanceChecker::serverName()
{
    return serverNameFor(QCoreApplication::applicationFilePath());
}

QString SingleInstanceChecker::endpointDirectory()
{
    // The session's runtime directory is the user's alone (0700); the
    // configuration directory at least may not be changed by others. Never
    // a shared directory such as /tmp, where anyone could plant the name.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateDirectory(runtime, S_IRWXG | S_IRWXO))
        return QDir::cleanPath(runtime);
    const QString config = QDir::cleanPath(Configuration::configDir());
    ::mkdir(QFile::encodeName(config).constData(), 0700);
    if (isPrivateDirectory(config, S_IWGRP | S_IWOTH))
        return config;
    return QString();
}

QString SingleInstanceChecker::serverNameFor(const QString& programPath)
{
    QString key = programPath.toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    const quint16 sum = qChecksum(bytes.constData(), static_cast<uint>(bytes.size()));
    const QString dir = endpointDirectory();
    const QString path = dir + QStringLiteral("/VX3ClientUpdate") + QString::number(sum, 16);
    if (dir.isEmpty() || !fitsSocketAddress(path)) {
        qDebug() << "No private place for the single-instance guard";
        return QString();
    }
    return path;
}

bool SingleInstanceChecker::notifyRunningInstance(const QString& message)
{
    const QString name = serverName();
    if (name.isEmpty())
        return false;
    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    // Whoever else listens there is not an updater of ours.
    if (!isOwnPeer(socket)) {
        qDebug() << "Single-instance name held by another user" << name;
        return false;
    }
    if (socket.write(message.toLatin1()) != 0)
        return socket.waitForBytesWritten(kWaitMs);
    return false;
}

bool SingleInstanceChecker::listenRecovering(QLocalServer* server, const QString& name)
{
    if (name.isEmpty())
        return false;
    if (server->listen(name))
        return true;
    if (server->serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // Taken: a live updater answers at once; a socket left by a crashed one
    // refuses the connection.
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(kWaitMs) && isOwnPeer(probe)) {
        qDebug() << "Single-instance name held by a running updater" << name;
        return false;
    }
    qDebug() << "Removing stale single-instance name" << name;
    QLocalServer::removeServer(name);
    return server->listen(name);
}

void SingleInstanceChecker::guardInstalledUpdater()
{
    if (m_InstallServer)
        return;
    QString installDir;
    if (!UpdateIniData::get(nullptr, nullptr, nullptr, &installDir) || installDir.isEmpty())
        return;
    m_InstallName = serverNameFor(QDir(installDir).absoluteFilePath(QStringLiteral("update")));
    if (m_InstallName.isEmpty() || m_InstallName == serverName())
        return;
    m_InstallServer = new QLocalServer(this);
    connect(m_InstallServer, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    if (listenRecovering(m_InstallServer, m_InstallName))
        return;
    m_RetriesLeft = kInstallRetries;
    m_RetryTimer = new QTimer(this);
    m_RetryTimer->setInterval(kInstallRetryMs);
    connect(m_RetryTimer, &QTimer::timeout, this, &SingleInstanceChecker::onRetryInstalledUpdater);
    m_RetryTimer->start();
}

void SingleInstanceChecker::onRetryInstalledUpdater()
{
    if (listenRecovering(m_InstallServer, m_InstallName) || --m_RetriesLeft <= 0)
        m_RetryTimer->stop();
}

bool SingleInstanceChecker::isListening() const
{
    return m_Server->isListening();
}

bool SingleInstanceChecker::isGuardingInstalledUpdater() const
{
    return m_InstallServer && m_InstallServer->isListening();
}

void SingleInstanceChecker::onNewConnection()
{
    for (QLocalServer* server : {m_Server, m_InstallServer}) {
        while (server && server->hasPendingConnections()) {
            // Only the newest connection is read; deferred, as an older one
            // may be inside its own signal.
            if (m_Socket)
                m_Socket->deleteLater();
            m_Socket = server->nextPendingConnection();
            if (m_Socket && !isOwnPeer(*m_Socket)) {
                m_Socket->deleteLater();
                m_Socket = nullptr;
            }
            if (m_Socket)
                connect(m_Socket, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
        }
    }
}

void SingleInstanceChecker::onReadyRead()
{
    if (!m_Socket)
        return;
    QByteArray data = m_Socket->readAll();
    const int zero = data.indexOf('\0');
    if (zero >= 0)
        data.truncate(zero);
    emit otherInstanceActivate(QString::fromLatin1(data));
    // This runs inside the socket's own readyRead, so it may not be deleted now.
    m_Socket->deleteLater();
    m_Socket = nullptr;
}
