#include "banner.h"

#include "serverreplies.h"
#include "updateserveraddress.h"

#include <QDebug>
#include <QHostInfo>
#include <QTimerEvent>
#include <QUdpSocket>

namespace {

const int kReplyTimeoutMs = 5000;
// The first request and one retry.
const int kRetries = 1;

} // namespace

Banner::Banner(QObject* parent)
    : QObject(parent)
    , m_socket(new QUdpSocket(this))
{
    qDebug() << "Creating Banner";
    connect(m_socket, &QUdpSocket::connected, this, &Banner::sendRequest);
    connect(m_socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    qDebug() << "Looking up banner server";
    m_Tries = 0;
    m_Answered = false;
    QHostInfo::lookupHost(UpdateServerAddress::host(), this, SLOT(onResolved(QHostInfo)));
}

void Banner::onResolved(QHostInfo hostInfo)
{
    qDebug() << "Banner server lookup resolved, error =" << hostInfo.error();
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    m_ServerAddress.clear();
    for (const QHostAddress& address : hostInfo.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            m_ServerAddress = address;
            break;
        }
    }
    if (m_ServerAddress.isNull())
        return;
    // Connected, the socket takes datagrams from the server's address and
    // port only; the kernel drops what anyone else sends. The request goes
    // out once the socket is connected.
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_socket->connectToHost(m_ServerAddress, UpdateServerAddress::bannerPort());
}

void Banner::sendRequest()
{
    qDebug() << "Sending banner request to" << m_ServerAddress;
    static const char request[] = {0x01, 0x01};
    if (m_socket->write(request, sizeof request) == -1) {
        qDebug() << "Failed to write to banner server";
        m_Timer.stop();
        return;
    }
    m_Timer.start(kReplyTimeoutMs, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    qDebug() << "get banner from server timed out";
    if (event->timerId() == m_Timer.timerId()) {
        if (m_Tries++ < kRetries)
            sendRequest();
        else
            m_Timer.stop();
    }
    QObject::timerEvent(event);
}

void Banner::onReadyRead()
{
    m_Timer.stop();
    // Every pending datagram is taken, so a stale one cannot hide a later one.
    while (m_socket->hasPendingDatagrams()) {
        QByteArray data(ServerReplies::kBannerLimit, Qt::Uninitialized);
        const qint64 size = m_socket->readDatagram(data.data(), data.size());
        if (size < 0) {
            qDebug() << "Received no data from banner server";
            return;
        }
        data.truncate(static_cast<int>(size));
        const QString reply = QString::fromLatin1(data);
        qDebug() << "Reply from banner server:" << reply;
        if (m_Answered) {
            qDebug() << "Banner already found, ignoring reply";
            continue;
        }
        QString bannerUrl;
        QString clickUrl;
        if (!ServerReplies::bannerUrls(data, &bannerUrl, &clickUrl)) {
            qDebug() << "invalid response:" << reply;
            continue;
        }
        m_Answered = true;
        emit bannerFound(bannerUrl, clickUrl);
    }
}

void Banner::onError(QAbstractSocket::SocketError socketError)
{
    qDebug() << "banner had socketerror: " << socketError;
    m_Timer.stop();
}
