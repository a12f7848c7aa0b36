#pragma once
// One HTTP/1.x connection of the file service: reads one request, answers it
// and closes. GET and HEAD of files below the root (status 200 with
// Content-Length, the body streamed in chunks as the socket drains); 400 for
// a malformed request or one whose head exceeds 16 KiB, 403, 404 and 405 with
// a short text body. Every answer says "Connection: close", so a client never
// reuses the connection and never sees it closed under a second request.
// Logs one line per request, client bytes escaped (logField). Deletes itself
// when the connection is gone.
//
// A connection that makes no progress for `idleTimeoutMs` (no request bytes
// arrive, or the client takes none of the answer) is not held: an incomplete
// request gets 408 and the connection closes; a stalled answer is cut off.

#include <QFile>
#include <QObject>
#include <QString>

class QTcpSocket;
class QTimer;

class HttpConnection final : public QObject
{
    Q_OBJECT

public:
    // Takes over `socket`; `canonicalRoot` as QFileInfo::canonicalFilePath gives it.
    explicit HttpConnection(QTcpSocket* socket, const QString& canonicalRoot, int idleTimeoutMs,
                            QObject* parent);

private:
    void onReadyRead();
    void onBytesWritten();
    void onIdle();
    void answer(const QByteArray& method, const QByteArray& target);
    void sendStatus(int status, const QByteArray& extraHeaders = QByteArray());
    void sendNextChunk();
    void finish(int status, qint64 bodyBytes);

    QTcpSocket* m_Socket;
    QTimer* m_IdleTimer;
    QString m_Root;
    QByteArray m_Head;
    bool m_Answered = false;
    bool m_HeadRequest = false; // answers without a body
    QFile m_File;
    qint64 m_Remaining = 0;
    QString m_Request; // "METHOD target" for the log
    QString m_Peer;
};
