#include "cuttingrelay.h"

#include <QTcpSocket>

CuttingRelay::CuttingRelay(quint16 target, qint64 cutAfter, int cuts, QObject* parent)
    : QObject(parent)
    , m_Target(target)
    , m_CutAfter(cutAfter)
    , m_Cuts(cuts)
{
    connect(&m_Server, &QTcpServer::newConnection, this, &CuttingRelay::onNewConnection);
}

bool CuttingRelay::listen()
{
    return m_Server.listen(QHostAddress::LocalHost, 0);
}

void CuttingRelay::setOnCut(std::function<void()> onCut)
{
    m_OnCut = std::move(onCut);
}

quint16 CuttingRelay::port() const
{
    return m_Server.serverPort();
}

qint64 CuttingRelay::bytesRelayed() const
{
    return m_Relayed;
}

QList<QByteArray> CuttingRelay::requests() const
{
    return m_Requests;
}

void CuttingRelay::onNewConnection()
{
    while (QTcpSocket* client = m_Server.nextPendingConnection()) {
        const int index = m_Connections++;
        const bool cut = index < m_Cuts;
        m_Requests << QByteArray();
        auto* upstream = new QTcpSocket(client);
        auto* passed = new qint64(0);
        connect(client, &QObject::destroyed, upstream, [passed] { delete passed; });
        upstream->connectToHost(QHostAddress::LocalHost, m_Target);
        // Requests wait in the socket buffer until the server connection is up.
        auto forwardRequest = [this, client, upstream, index] {
            if (upstream->state() != QAbstractSocket::ConnectedState)
                return;
            const QByteArray data = client->readAll();
            m_Requests[index] += data;
            upstream->write(data);
        };
        connect(client, &QTcpSocket::readyRead, this, forwardRequest);
        connect(upstream, &QTcpSocket::connected, this, forwardRequest);
        connect(upstream, &QTcpSocket::readyRead, this, [this, client, upstream, passed, cut] {
            QByteArray data = upstream->readAll();
            if (cut)
                data.truncate(int(qMin<qint64>(data.size(), m_CutAfter - *passed)));
            *passed += data.size();
            m_Relayed += data.size();
            client->write(data);
            if (cut && *passed >= m_CutAfter && upstream->state() != QAbstractSocket::UnconnectedState) {
                upstream->abort();
                client->disconnectFromHost();
                if (m_OnCut)
                    m_OnCut();
            }
        });
        connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}
