#pragma once
// The HTTP file service: accepts connections and hands each to its own
// HttpConnection, which serves files below the root and closes connections
// idle for longer than the time-out. At most `maxConnections` are open at
// once: one more is answered 503 at once and closed, so a crowd of slow
// clients costs a bounded number of open files and buffers.

#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

class FileServer final : public QObject
{
    Q_OBJECT

public:
    explicit FileServer(const QString& root, int idleTimeoutMs, int maxConnections, QObject* parent);

    // False with the reason when the address and port cannot be bound.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

private:
    void onNewConnection();
    void refuse(QTcpSocket* socket);

    QString m_Root; // canonical
    int m_IdleTimeoutMs;
    int m_MaxConnections;
    int m_OpenConnections = 0;
    QTcpServer* m_Server;
};
