#pragma once
// The metrics over HTTP on 127.0.0.1 only: "GET /metrics" is answered 200
// with the Prometheus text, anything else 404 (405 for other methods), and
// the connection closes after each answer. A request head must arrive
// within 5 seconds and 8 KiB; at most 16 connections are open at once, one
// more is closed at once. Meant for a scraper on the same machine (or a
// tunnel to it), never for the network.

#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;
class ServerMetrics;

class MetricsEndpoint final : public QObject
{
    Q_OBJECT

public:
    MetricsEndpoint(const ServerMetrics* metrics, QObject* parent);

    // False with the reason when 127.0.0.1:port cannot be bound.
    bool listen(quint16 port, QString* error);
    quint16 port() const;

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QByteArray& status, const QByteArray& contentType,
                const QByteArray& body);

    const ServerMetrics* m_Metrics;
    QTcpServer* m_Server;
    int m_Open = 0;
};
