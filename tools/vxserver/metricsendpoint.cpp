#include "metricsendpoint.h"

#include "servermetrics.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const int kMaxHeadBytes = 8192;
const int kTimeoutMs = 5000;
const int kMaxOpen = 16;

} // namespace

MetricsEndpoint::MetricsEndpoint(const ServerMetrics* metrics, QObject* parent)
    : QObject(parent)
    , m_Metrics(metrics)
    , m_Server(new QTcpServer(this))
{
    connect(m_Server, &QTcpServer::newConnection, this, &MetricsEndpoint::onNewConnection);
}

bool MetricsEndpoint::listen(quint16 port, QString* error)
{
    if (m_Server->listen(QHostAddress(QHostAddress::LocalHost), port))
        return true;
    *error = QStringLiteral("cannot bind the metrics endpoint to 127.0.0.1 TCP port %1: %2")
                 .arg(QString::number(port), m_Server->errorString());
    return false;
}

quint16 MetricsEndpoint::port() const
{
    return m_Server->serverPort();
}

void MetricsEndpoint::onNewConnection()
{
    while (QTcpSocket* socket = m_Server->nextPendingConnection()) {
        if (m_Open == kMaxOpen) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++m_Open;
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            --m_Open;
            socket->deleteLater();
        });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        QTimer::singleShot(kTimeoutMs, socket, [socket] { socket->abort(); });
    }
}

void MetricsEndpoint::onReadyRead(QTcpSocket* socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray head = socket->property("head").toByteArray() + socket->readAll();
    socket->setProperty("head", head);
    if (!head.contains("\r\n\r\n") && !head.contains("\n\n")) {
        if (head.size() > kMaxHeadBytes)
            answer(socket, "400 Bad Request", "text/plain", "request too long\n");
        return;
    }
    const QList<QByteArray> requestLine = head.left(head.indexOf('\n')).trimmed().split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/"))
        answer(socket, "400 Bad Request", "text/plain", "bad request\n");
    else if (requestLine.at(0) != "GET")
        answer(socket, "405 Method Not Allowed", "text/plain", "only GET\n");
    else if (requestLine.at(1) != "/metrics")
        answer(socket, "404 Not Found", "text/plain", "the metrics are at /metrics\n");
    else
        answer(socket, "200 OK", "text/plain; version=0.0.4; charset=utf-8", m_Metrics->prometheusText());
}

void MetricsEndpoint::answer(QTcpSocket* socket, const QByteArray& status, const QByteArray& contentType,
                             const QByteArray& body)
{
    socket->setProperty("answered", true);
    socket->write("HTTP/1.1 " + status + "\r\nContent-Type: " + contentType + "\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}
