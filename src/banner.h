#pragma once
// Asks the banner server (UDP port 2009 of the update server host, see
// UpdateServerAddress) which banner to show. The request is two bytes,
// 0x01 0x01; the reply is one datagram "<image URL>,<click URL>" in Latin-1.
// A silent server is asked a second time after 5000 ms, then given up. Each lookup reports at most one
// banner: the first valid reply, even when a late reply to the first request
// and the reply to the retry both arrive. Failures are only logged. The
// socket is connected to the server, so only the server's replies count.

#include "updateserveraddress.h"

#include <QAbstractSocket>
#include <QBasicTimer>
#include <QHostAddress>
#include <QHostInfo>
#include <QObject>
#include <QString>

class QUdpSocket;

class Banner final : public QObject
{
    Q_OBJECT

public:
    explicit Banner(QObject* parent);

    // Resolves the server, connects the socket to it and sends the request.
    void run();
    void sendRequest();

    // The default port; UpdateServerAddress::bannerPort() is the one in use.
    static const quint16 kPort = UpdateServerAddress::kDefaultBannerPort;

signals:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent* event) override;

private slots:
    void onResolved(QHostInfo hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    QUdpSocket* m_socket; // connected to the server once it is resolved
    QBasicTimer m_Timer;
    QHostAddress m_ServerAddress;
    int m_Tries = 0;
    bool m_Answered = false;
};
