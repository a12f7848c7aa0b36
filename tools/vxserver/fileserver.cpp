#include "fileserver.h"

#include "httpconnection.h"

#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>

FileServer::FileServer(const QString& root, int idleTimeoutMs, QObject* parent)
    : QObject(parent)
    , m_Root(QFileInfo(root).canonicalFilePath())
    , m_IdleTimeoutMs(idleTimeoutMs)
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
    while (QTcpSocket* socket = m_Server->nextPendingConnection())
        new HttpConnection(socket, m_Root, m_IdleTimeoutMs, this);
}
