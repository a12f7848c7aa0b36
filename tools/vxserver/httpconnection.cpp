#include "httpconnection.h"

#include "requestpath.h"
#include "serverlog.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

namespace {

const int kMaxHeadSize = 16 * 1024;
const qint64 kChunkSize = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    default:
        return "Internal Server Error";
    }
}

} // namespace

HttpConnection::HttpConnection(QTcpSocket* socket, const QString& canonicalRoot, int idleTimeoutMs,
                               QObject* parent)
    : QObject(parent)
    , m_Socket(socket)
    , m_IdleTimer(new QTimer(this))
    , m_Root(canonicalRoot)
    , m_Peer(QStringLiteral("%1:%2").arg(socket->peerAddress().toString(),
                                         QString::number(socket->peerPort())))
{
    m_Socket->setParent(this);
    connect(m_Socket, &QTcpSocket::readyRead, this, &HttpConnection::onReadyRead);
    connect(m_Socket, &QTcpSocket::bytesWritten, this, &HttpConnection::onBytesWritten);
    connect(m_Socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    m_IdleTimer->setSingleShot(true);
    m_IdleTimer->setInterval(idleTimeoutMs);
    connect(m_IdleTimer, &QTimer::timeout, this, &HttpConnection::onIdle);
    m_IdleTimer->start();
    onReadyRead();
}

void HttpConnection::onReadyRead()
{
    // Only request bytes count as progress: once answered, what a client
    // sends must not keep a connection open that it does not read from.
    if (!m_Answered && m_Socket->bytesAvailable() > 0)
        m_IdleTimer->start();
    if (m_Answered) {
        m_Socket->readAll(); // anything after the one request is not read as one
        return;
    }
    m_Head += m_Socket->readAll();
    const int end = m_Head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (m_Head.size() > kMaxHeadSize) {
            m_Request = QStringLiteral("(request head over %1 bytes)").arg(kMaxHeadSize);
            sendStatus(400);
        }
        return;
    }
    const QList<QByteArray> requestLine = m_Head.left(m_Head.indexOf("\r\n")).split(' ');
    if (requestLine.size() != 3 || !requestLine.at(2).startsWith("HTTP/1.")) {
        m_Request = logField(m_Head.left(m_Head.indexOf("\r\n")).left(200));
        sendStatus(400);
        return;
    }
    m_Request = logField(requestLine.at(0)) + QLatin1Char(' ') + logField(requestLine.at(1).left(1000));
    m_HeadRequest = requestLine.at(0) == "HEAD";
    answer(requestLine.at(0), requestLine.at(1));
}

void HttpConnection::answer(const QByteArray& method, const QByteArray& target)
{
    if (method != "GET" && method != "HEAD") {
        sendStatus(405, "Allow: GET, HEAD\r\n");
        return;
    }
    const RequestPath path = resolveRequestPath(m_Root, target);
    if (path.status != 200) {
        sendStatus(path.status);
        return;
    }
    m_File.setFileName(path.filePath);
    if (!m_File.open(QIODevice::ReadOnly)) {
        sendStatus(403);
        return;
    }
    m_Answered = true;
    const qint64 size = m_File.size();
    m_Socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size)
                    + "\r\nContent-Type: application/octet-stream\r\nConnection: close\r\n\r\n");
    if (m_HeadRequest) {
        finish(200, 0);
        return;
    }
    m_Remaining = size;
    if (size == 0)
        finish(200, 0);
    else
        sendNextChunk();
}

// Only a chunk at a time waits in the socket, however large the file.
void HttpConnection::sendNextChunk()
{
    const QByteArray chunk = m_File.read(qMin(kChunkSize, m_Remaining));
    if (chunk.isEmpty()) {
        // The file shrank or failed under us; the short body tells the client.
        logLine(QStringLiteral("%1 %2 200 aborted: %3").arg(m_Peer, m_Request, m_File.errorString()));
        m_Remaining = 0;
        m_Socket->abort();
        deleteLater();
        return;
    }
    m_Remaining -= chunk.size();
    m_Socket->write(chunk);
    if (m_Remaining == 0)
        finish(200, m_File.size());
}

void HttpConnection::onBytesWritten()
{
    m_IdleTimer->start();
    if (m_Remaining > 0 && m_Socket->bytesToWrite() < kChunkSize)
        sendNextChunk();
}

void HttpConnection::onIdle()
{
    const QString idle = QStringLiteral("idle for %1 ms").arg(m_IdleTimer->interval());
    if (!m_Answered) {
        // The answer is small enough for the socket buffers, so the close
        // that follows it does not wait on the client; should it wait all
        // the same, the next time-out cuts the connection.
        m_Request = QStringLiteral("(request incomplete, %1)").arg(idle);
        sendStatus(408);
        m_IdleTimer->start();
        return;
    }
    logLine(QStringLiteral("%1 %2 aborted: %3").arg(m_Peer, m_Request, idle));
    m_Remaining = 0;
    m_IdleTimer->stop();
    m_Socket->abort();
    deleteLater();
}

void HttpConnection::sendStatus(int status, const QByteArray& extraHeaders)
{
    m_Answered = true;
    const QByteArray body = QByteArray::number(status) + ' ' + reasonPhrase(status) + '\n';
    m_Socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status)
                    + "\r\nContent-Length: " + QByteArray::number(body.size())
                    + "\r\nContent-Type: text/plain\r\nConnection: close\r\n" + extraHeaders + "\r\n"
                    + (m_HeadRequest ? QByteArray() : body));
    finish(status, m_HeadRequest ? 0 : body.size());
}

void HttpConnection::finish(int status, qint64 bodyBytes)
{
    logLine(QStringLiteral("%1 %2 %3 %4")
                .arg(m_Peer, m_Request, QString::number(status), QString::number(bodyBytes)));
    m_File.close();
    // Closes once the answer has left; the peer's close deletes this object.
    m_Socket->disconnectFromHost();
}
