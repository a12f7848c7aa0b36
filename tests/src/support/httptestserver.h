#pragma once
// A scripted HTTP/1.1 server on 127.0.0.1 for tests, in-process and driven by
// the event loop of the thread that owns it (so the code under test and the
// server share one loop; wait with QSignalSpy::wait or QTRY_ macros).
//
//   HttpTestServer server;
//   QVERIFY(server.listen());                     // any free port
//   server.setFile("/base/7/a/x.bin", bytes);     // GET answers 200 + Content-Length
//   server.enqueue("/base/7/a/x.bin", HttpTestServer::Response::status(404));
//   g_UpdateBaseUrl = server.url("/base/");
//
// Every request for a path takes the next queued one-shot response of that
// path; with none queued it gets the path's default (setDefault), and without
// a default it is served the registered file (404 when there is none).
// Responses that carry a body use the registered file's bytes.
//
// Kinds of response:
//   serve()            200, Content-Length, the whole file
//   status(code)       that status with a short body (any code, 200 too)
//   redirect(location) 302 with a Location header and an empty body
//   noLength()         200 without Content-Length; closing the connection ends the body
//   stall(n)           200 with the full Content-Length, then n bytes, then silence
//                      until releaseStalls() sends the rest or the client hangs up
//   closeEarly(n)      200 with the full Content-Length, n bytes, then the connection closes
//   wrongBytes()       200 with a body of the same length whose bytes all differ
//                      (one byte for an empty file), so that a hash check must fail
//   ranged()           a request with "Range: bytes=N-" gets 206, Content-Range
//                      "bytes N-(size-1)/size" and the rest of the file (If-Range is
//                      not looked at, the client must check); one without gets serve()
//   ranged(skew)       such a 206 whose Content-Range and body start skew bytes off N
//   ranged(0, true)    such a 206 whose body (and Content-Length) is the whole file
//   chunked()          200 with "Transfer-Encoding: chunked", the file in chunks of
//                      1000 bytes and a closing empty chunk
//   gzipped()          200 with "Content-Encoding: gzip" and the gzip stream of the
//                      file, its Content-Length that of the stream
//   chunked(true)      both: the gzip stream in chunks, as servers compress on the fly
//
// withHeader() adds a header line to any of them (an ETag, Last-Modified).
//
// Every answer carries "Connection: close"; answers with a Content-Length are
// closed by the client, the others by the server a moment after the body.
// QNetworkAccessManager may quietly resend a request whose connection the
// server closed, so script noLength() and closeEarly() with setDefault() where
// the next queued answer must not be taken by such a resend.
// Requests are recorded in arrival
// order (requestPaths, with their headers in requestHeader) and counted per
// path (requestCount); paths are the percent-decoded request targets, with
// the leading "/".

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

class HttpTestServer final : public QObject
{
    Q_OBJECT

public:
    struct Response
    {
        enum Kind { Serve, Status, Redirect, NoLength, Stall, CloseEarly, WrongBytes, Ranged, Chunked };

        static Response serve();
        static Response status(int code);
        static Response redirect(const QByteArray& location);
        static Response noLength();
        static Response stall(qint64 bytesBeforeStall);
        static Response closeEarly(qint64 bytesBeforeClose);
        static Response wrongBytes();
        static Response ranged(qint64 startSkew = 0, bool wholeBody = false);
        static Response chunked(bool gzip = false);
        static Response gzipped();
        Response withHeader(const QByteArray& name, const QByteArray& value) const;

        Kind kind = Serve;
        int code = 200;
        QByteArray location;
        qint64 cut = 0;
        bool wholeBody = false;
        bool gzip = false;
        QByteArray headers;
    };

    explicit HttpTestServer(QObject* parent = nullptr);
    ~HttpTestServer() override;

    // Listens on 127.0.0.1 on a free port; false when that fails.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:PORT" followed by path (which starts with "/").
    QString url(const QString& path) const;

    void setFile(const QString& path, const QByteArray& body);
    // The answer to every request of path that finds no queued response.
    void setDefault(const QString& path, const Response& response);
    // The answer to the next `times` requests of path, after those already queued.
    void enqueue(const QString& path, const Response& response, int times = 1);

    // Sends the rest of every stalled body and closes those connections.
    void releaseStalls();
    // Sends the next `bytes` of every stalled body; they stay stalled.
    void dripStalls(int bytes);
    // Stalled connections still open (the client has not hung up).
    int stalledCount() const;

    int requestCount(const QString& path) const;
    QStringList requestPaths() const;
    // The value of header `name` (any letter case) in request `index` of
    // requestPaths(); empty when it had none.
    QByteArray requestHeader(int index, const QByteArray& name) const;

signals:
    // A request has been read and is about to be answered.
    void requestReceived(const QString& path);
    // A stall response has sent its part and now holds the connection.
    void stalled(const QString& path);

private:
    struct Stalled
    {
        QPointer<QTcpSocket> socket;
        QByteArray rest;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const QString& path, const QByteArray& range);
    Response nextResponse(const QString& path);
    void closeSoon(QTcpSocket* socket);

    QTcpServer m_Server;
    QHash<QString, QByteArray> m_Files;
    QHash<QString, Response> m_Defaults;
    QHash<QString, QQueue<Response>> m_Queued;
    QHash<QTcpSocket*, QByteArray> m_Pending;
    QList<Stalled> m_Stalled;
    QStringList m_RequestPaths;
    // Each request's header lines, names in lower case.
    QList<QHash<QByteArray, QByteArray>> m_RequestHeaders;
    QHash<QString, int> m_RequestCounts;
};
