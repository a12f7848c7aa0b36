#include "httptestserver.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

#include <zlib.h>

namespace {

// How long a close-delimited answer waits before closing; see closeSoon().
constexpr int kCloseDelayMs = 20;

QByteArray reasonPhrase(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 206:
        return "Partial Content";
    case 302:
        return "Found";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    default:
        return "Status";
    }
}

QByteArray head(int code, qint64 contentLength, const QByteArray& extra = QByteArray())
{
    QByteArray text = "HTTP/1.1 " + QByteArray::number(code) + ' ' + reasonPhrase(code) + "\r\n";
    if (contentLength >= 0)
        text += "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    text += extra;
    text += "Connection: close\r\n\r\n";
    return text;
}

QByteArray corrupted(const QByteArray& body)
{
    if (body.isEmpty())
        return QByteArray(1, '!');
    QByteArray wrong = body;
    for (char& c : wrong)
        c = static_cast<char>(~static_cast<unsigned char>(c));
    return wrong;
}

QByteArray gzipStream(const QByteArray& data)
{
    z_stream stream{};
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const bool done = deflate(&stream, Z_FINISH) == Z_STREAM_END;
    out.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return done ? out : QByteArray();
}

QByteArray inChunks(const QByteArray& body)
{
    QByteArray text;
    for (int at = 0; at < body.size(); at += 1000) {
        const QByteArray chunk = body.mid(at, 1000);
        text += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    }
    return text + "0\r\n\r\n";
}

} // namespace

HttpTestServer::Response HttpTestServer::Response::serve()
{
    return Response();
}

HttpTestServer::Response HttpTestServer::Response::status(int code)
{
    Response r;
    r.kind = Status;
    r.code = code;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::redirect(const QByteArray& location)
{
    Response r;
    r.kind = Redirect;
    r.code = 302;
    r.location = location;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::noLength()
{
    Response r;
    r.kind = NoLength;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::stall(qint64 bytesBeforeStall)
{
    Response r;
    r.kind = Stall;
    r.cut = bytesBeforeStall;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::closeEarly(qint64 bytesBeforeClose)
{
    Response r;
    r.kind = CloseEarly;
    r.cut = bytesBeforeClose;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::wrongBytes()
{
    Response r;
    r.kind = WrongBytes;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::ranged(qint64 startSkew, bool wholeBody)
{
    Response r;
    r.kind = Ranged;
    r.cut = startSkew;
    r.wholeBody = wholeBody;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::chunked(bool gzip)
{
    Response r;
    r.kind = Chunked;
    r.gzip = gzip;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::gzipped()
{
    Response r;
    r.gzip = true;
    return r;
}

HttpTestServer::Response HttpTestServer::Response::withHeader(const QByteArray& name,
                                                              const QByteArray& value) const
{
    Response r = *this;
    r.headers += name + ": " + value + "\r\n";
    return r;
}

HttpTestServer::HttpTestServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_Server, &QTcpServer::newConnection, this, &HttpTestServer::onNewConnection);
}

HttpTestServer::~HttpTestServer()
{
    // Sockets are children of the QTcpServer member; closing them first keeps
    // their disconnect signals from reaching a half-destroyed server.
    for (QTcpSocket* socket : m_Server.findChildren<QTcpSocket*>()) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
    }
}

bool HttpTestServer::listen()
{
    return m_Server.listen(QHostAddress(QHostAddress::LocalHost), 0);
}

quint16 HttpTestServer::port() const
{
    return m_Server.serverPort();
}

QString HttpTestServer::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:") + QString::number(port()) + path;
}

void HttpTestServer::setFile(const QString& path, const QByteArray& body)
{
    m_Files.insert(path, body);
}

void HttpTestServer::setDefault(const QString& path, const Response& response)
{
    m_Defaults.insert(path, response);
}

void HttpTestServer::enqueue(const QString& path, const Response& response, int times)
{
    for (int i = 0; i < times; ++i)
        m_Queued[path].enqueue(response);
}

void HttpTestServer::releaseStalls()
{
    const QList<Stalled> stalled = m_Stalled;
    m_Stalled.clear();
    for (const Stalled& s : stalled) {
        if (!s.socket)
            continue;
        s.socket->write(s.rest);
    }
}

void HttpTestServer::dripStalls(int bytes)
{
    for (Stalled& s : m_Stalled) {
        if (!s.socket)
            continue;
        s.socket->write(s.rest.left(bytes));
        s.rest.remove(0, bytes);
    }
}

int HttpTestServer::stalledCount() const
{
    int n = 0;
    for (const Stalled& s : m_Stalled) {
        if (s.socket && s.socket->state() == QAbstractSocket::ConnectedState)
            ++n;
    }
    return n;
}

int HttpTestServer::requestCount(const QString& path) const
{
    return m_RequestCounts.value(path);
}

QStringList HttpTestServer::requestPaths() const
{
    return m_RequestPaths;
}

QByteArray HttpTestServer::requestHeader(int index, const QByteArray& name) const
{
    return m_RequestHeaders.value(index).value(name.toLower());
}

void HttpTestServer::onNewConnection()
{
    while (QTcpSocket* socket = m_Server.nextPendingConnection()) {
        m_Pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_Pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpTestServer::onReadyRead(QTcpSocket* socket)
{
    auto it = m_Pending.find(socket);
    if (it == m_Pending.end()) {
        // Already answered: with "Connection: close" nothing more is expected.
        socket->readAll();
        return;
    }
    it.value() += socket->readAll();
    const int end = it.value().indexOf("\r\n\r\n");
    if (end < 0)
        return;
    const QList<QByteArray> lines = it.value().left(end).split('\n');
    m_Pending.erase(it);
    const QList<QByteArray> parts = lines.first().trimmed().split(' ');
    const QString path =
        parts.size() >= 2 ? QUrl::fromPercentEncoding(parts.at(1)) : QString();
    QHash<QByteArray, QByteArray> headers;
    for (const QByteArray& line : lines.mid(1)) {
        const int colon = line.indexOf(':');
        if (colon > 0)
            headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    m_RequestPaths.append(path);
    m_RequestHeaders.append(headers);
    ++m_RequestCounts[path];
    emit requestReceived(path);
    answer(socket, path, headers.value("range"));
}

HttpTestServer::Response HttpTestServer::nextResponse(const QString& path)
{
    auto queued = m_Queued.find(path);
    if (queued != m_Queued.end() && !queued.value().isEmpty())
        return queued.value().dequeue();
    if (m_Defaults.contains(path))
        return m_Defaults.value(path);
    if (m_Files.contains(path))
        return Response::serve();
    return Response::status(404);
}

void HttpTestServer::answer(QTcpSocket* socket, const QString& path, const QByteArray& range)
{
    const Response response = nextResponse(path);
    const QByteArray body = response.gzip ? gzipStream(m_Files.value(path)) : m_Files.value(path);
    const QByteArray extra = response.headers + (response.gzip ? "Content-Encoding: gzip\r\n" : "");
    switch (response.kind) {
    case Response::Serve:
        socket->write(head(200, body.size(), extra) + body);
        return;
    case Response::Status: {
        const QByteArray text = response.code == 200 ? body : reasonPhrase(response.code);
        socket->write(head(response.code, text.size(), extra) + text);
        return;
    }
    case Response::Redirect:
        socket->write(head(response.code, 0, extra + "Location: " + response.location + "\r\n"));
        return;
    case Response::NoLength:
        socket->write(head(200, -1, extra) + body);
        break;
    case Response::Stall: {
        const qint64 cut = qBound<qint64>(0, response.cut, body.size());
        socket->write(head(200, body.size(), extra) + body.left(int(cut)));
        m_Stalled.append({QPointer<QTcpSocket>(socket), body.mid(int(cut))});
        emit stalled(path);
        return;
    }
    case Response::CloseEarly: {
        const qint64 cut = qBound<qint64>(0, response.cut, body.size());
        socket->write(head(200, body.size(), extra) + body.left(int(cut)));
        break;
    }
    case Response::WrongBytes: {
        const QByteArray wrong = corrupted(body);
        socket->write(head(200, wrong.size(), extra) + wrong);
        return;
    }
    case Response::Ranged: {
        if (!range.startsWith("bytes=") || !range.endsWith('-')) {
            socket->write(head(200, body.size(), extra) + body);
            return;
        }
        const qint64 asked = range.mid(6, range.size() - 7).toLongLong();
        const qint64 start = qBound<qint64>(0, asked + response.cut, body.size());
        const QByteArray rest = response.wholeBody ? body : body.mid(int(start));
        socket->write(head(206, rest.size(),
                           extra + "Content-Range: bytes " + QByteArray::number(start) + '-'
                               + QByteArray::number(body.size() - 1) + '/' + QByteArray::number(body.size())
                               + "\r\n")
                      + rest);
        return;
    }
    case Response::Chunked:
        socket->write(head(200, -1, extra + "Transfer-Encoding: chunked\r\n") + inChunks(body));
        return;
    }
    closeSoon(socket);
}

void HttpTestServer::closeSoon(QTcpSocket* socket)
{
    // A close that reaches the access manager together with the answer, before
    // it has finished its own bookkeeping of the request, makes it quietly send
    // the request again; so the body goes out first and the close follows once
    // the loop has turned.
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(kCloseDelayMs, this, [guard] {
        if (guard)
            guard->disconnectFromHost();
    });
}
