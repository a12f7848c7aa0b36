#pragma once
// The HTTP file service: accepts connections and hands each to its own
// HttpConnection, which serves files below the root and closes connections
// idle for longer than the time-out.

#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;

class FileServer final : public QObject
{
    Q_OBJECT

public:
    explicit FileServer(const QString& root, int idleTimeoutMs, QObject* parent);

    // False with the reason when the address and port cannot be bound.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

private:
    void onNewConnection();

    QString m_Root; // canonical
    int m_IdleTimeoutMs;
    QTcpServer* m_Server;
};
