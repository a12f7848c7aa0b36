#include "singleinstancechecker.h"

#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>

namespace {

const int kWaitMs = 1000;
const int kInstallRetryMs = 1000;
const int kInstallRetries = 30;

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

QString SingleInstanceChecker::serverNameFor(const QString& programPath)
{
    QString key = programPath.toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const QByteArray bytes = key.toUtf8();
    const quint16 sum = qChecksum(bytes.constData(), static_cast<uint>(bytes.size()));
    return QStringLiteral("VX3ClientUpdate") + QString::number(sum, 16);
}

bool SingleInstanceChecker::notifyRunningInstance(const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(serverName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(kWaitMs))
        return false;
    if (socket.write(message.toLatin1()) != 0)
        return socket.waitForBytesWritten(kWaitMs);
    return false;
}

bool SingleInstanceChecker::listenRecovering(QLocalServer* server, const QString& name)
{
    if (server->listen(name))
        return true;
    if (server->serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // Taken: a live updater answers at once; a socket left by a crashed one
    // refuses the connection.
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::ReadWrite);
    if (probe.waitForConnected(kWaitMs)) {
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
    if (m_InstallName == serverName())
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
