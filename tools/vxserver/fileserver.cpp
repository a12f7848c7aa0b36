#include "fileserver.h"

#include "httpconnection.h"
#include "serverlog.h"

#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

FileServer::FileServer(const QString& root, int idleTimeoutMs, int maxConnections, QObject* parent)
    : QObject(parent)
    , m_Root(QFileInfo(root).canonicalFilePath())
    , m_IdleTimeoutMs(idleTimeoutMs)
    , m_MaxConnections(maxConnections)
    , m_Server(new QTcpServer(this))
{
    connect(m_Server, &QTcpServer::newConnection, this, &FileServer::onNewConnection);
}

bool FileServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (m_Server->listen(address, port))
        return true;
    *error = QStringLiteral("cannot bind the file service to %1 TCP port %2: %3")
                 .arg(address.toString(), QString::number(port), m_Server->errorString());
    return false;
}

quint16 FileServer::port() const
{
    return m_Server->serverPort();
}

void FileServer::onNewConnection()
{
    while (QTcpSocket* socket = m_Server->nextPendingConnection()) {
        if (m_OpenConnections >= m_MaxConnections) {
            refuse(socket);
            continue;
        }
        ++m_OpenConnections;
        auto* connection = new HttpConnection(socket, m_Root, m_IdleTimeoutMs, this);
        connect(connection, &QObject::destroyed, this, [this] { --m_OpenConnections; });
    }
}

// The request is never read: the answer does not depend on it. A client
// that never closes its end is cut off after the idle time-out.
void FileServer::refuse(QTcpSocket* socket)
{
    logLine(QStringLiteral("%1:%2 refused 503: %3 connections open")
                .arg(socket->peerAddress().toString(), QString::number(socket->peerPort()),
                     QString::number(m_OpenConnections)));
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(m_IdleTimeoutMs, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    socket->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 5\r\n"
                  "Connection: close\r\n\r\n");
    socket->disconnectFromHost();
}
