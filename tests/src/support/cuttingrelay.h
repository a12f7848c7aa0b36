#pragma once
// A flaky link for tests: a TCP relay on 127.0.0.1 in front of a real server
// (nginx). It forwards every connection to the server and the answers back,
// and cuts the first `cuts` connections once `cutAfter` answer bytes (headers
// included) have passed. Driven by the event loop of the thread that owns it.

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

class CuttingRelay final : public QObject
{
    Q_OBJECT

public:
    CuttingRelay(quint16 target, qint64 cutAfter, int cuts, QObject* parent = nullptr);

    bool listen();
    // Called once each time a connection is cut.
    void setOnCut(std::function<void()> onCut);
    quint16 port() const;
    // Answer bytes passed to clients, over all connections.
    qint64 bytesRelayed() const;
    // What clients sent, per connection in order of arrival.
    QList<QByteArray> requests() const;

private:
    void onNewConnection();

    quint16 m_Target;
    qint64 m_CutAfter;
    int m_Cuts;
    int m_Connections = 0;
    qint64 m_Relayed = 0;
    QList<QByteArray> m_Requests;
    std::function<void()> m_OnCut;
    QTcpServer m_Server;
};
