#pragma once
// One HTTP GET of g_UpdateBaseUrl + version + "/" + name into one local file,
// through the engine's shared access manager. The body is streamed to disk in
// chunks of at most 4096 bytes as it arrives. Any status other than 200
// (redirects included, they are never followed), a network, read or write
// error, or 16 engine polls in a row without data ends the attempt; the next
// attempt starts at once, five attempts in all. After the fifth failure the
// task fails with "Unable to download %1".
//
// The body must be exactly as long as the expected size, when one was given,
// and as its Content-Length, when the server sent one; without either it may
// not exceed the size limit, when one was set. A server that announces or
// sends more is cut off at once, and a body that ends short is not taken for
// a finished download: both are failed attempts like any other.
//
// An attempt whose transfer broke (a network error, a stall, a body cut
// short) after the server named the file with a validator (a strong ETag,
// else Last-Modified) leaves its bytes for the next one, which asks for the
// rest (Range with If-Range). A 206 answer is taken only when its
// Content-Range starts at those bytes and ends the file of the expected size,
// its Content-Length is that rest and its validator is the same; a 200 answer
// or any mismatch starts again from byte 0. All sizes above are those of the
// whole file, kept bytes included. The caller's SHA-512 check of the whole
// file stays the judge.
//
// Every other attempt that ends early removes its partial file; a completed
// download leaves the closed file. A user's cancel() ends the task
// TASK_ABORTED; a failed sibling (handleOtherTaskCancelled) ends it
// TASK_FAILED. Destroying a running task aborts the request and leaves
// whatever was written on disk.
//
// A task told that the file may be missing (setMayBeMissing) takes a 404
// answer as the file's absence: it finishes at once, without a further
// attempt and without a file, and isMissing() tells.
//
// An HTTPS server whose certificate is refused ends the attempt with a text
// that names the host and says why (not trusted, made out for another host);
// a proxy that cannot be reached is named as the culprit.
//
// Silence is not the only stall: a server that drips a byte now and then
// never lets 16 polls pass without data. So every 60 polls (a minute) an
// attempt must also have moved at least 1024 bytes a poll (1 KiB/s) in those
// polls, or it ends like a stall ("file %1 came too slowly ...") and the next
// attempt continues or starts over. A line that really is that slow (below
// 8 kbit/s) could not fetch a release in useful time anyway.
//
// GUI thread only; the stall time-out and the rate check run on
// pollDownloadStatus(), which the engine calls once a second.

#include "taskspecification.h"

#include <QFile>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;
class QSslError;

class DownloadTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    // expectedSize -1: unknown until the reply reports one.
    DownloadTaskSpecification(QNetworkAccessManager* nam, const QString& name, int version,
                              const QString& filePath, qint64 expectedSize, qreal weight,
                              QObject* parent);
    ~DownloadTaskSpecification() override;

    // Failed attempts of this run. A caller that rejects a completed download
    // (its hash did not match) starts a fresh task with the attempts already
    // used, so that the file gets five attempts in all, not five per round.
    int failedAttempts() const;
    void setFailedAttempts(int attempts);

    QString filePath() const;

    // The most bytes accepted when no expected size was given; -1 (the
    // default) accepts any size.
    void setSizeLimit(qint64 bytes);

    // A 404 answer ends the task finished, with isMissing() true.
    void setMayBeMissing(bool mayBeMissing);
    bool isMissing() const;

    // The least bytes per poll an attempt must move, judged over windows of
    // kRateWindowPolls polls.
    static constexpr qint64 kMinimumBytesPerPoll = 1024;
    static constexpr int kRateWindowPolls = 60;
    // Tests shorten the window; 0 restores kRateWindowPolls.
    static void setRateWindowPolls(int polls);

public slots:
    void execute() override;
    void reset() override;
    void pollDownloadStatus(quint64* downloadDone, quint64* downloadTotal, quint64* newBytes,
                            bool* downloading) override;
    void cancel() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

protected:
    // Called once the body is complete and the file closed; ends the task.
    virtual void downloadFinished();

private slots:
    void onDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void onReadyRead();
    void onDownloadFinished();
    void onMetaDataChanged();
    void onSslErrors(const QList<QSslError>& errors);

private:
    void startDownload();
    bool writeAvailable();
    // `resumable`: the transfer broke (network error, stall, body cut short),
    // so what it wrote may be continued by the next attempt.
    bool failAttempt(const QString& reason, bool resumable = false);
    void abortReply(bool keepFile = false);
    // The reply's validator: a strong ETag, else Last-Modified, else empty.
    QByteArray validator() const;
    // A 206 answer continues the kept bytes: its Content-Range starts where
    // they end and runs to the end of a file of the expected size, its
    // Content-Length (when sent) is that rest, and the validator is the one
    // they came with. `total`: the whole file's size.
    bool continuesFile(qint64* total) const;
    // The answer's headers, once its status is known: false when there is
    // nothing more to check (no length announced) or the attempt ended.
    // takeRest() handles a 206 to a resumed attempt, takeWholeFile() a 200.
    bool takeRest();
    bool takeWholeFile();
    void restartFromZero(const QString& reason);
    void forgetResume();
    // The reason the reply failed, as users need it.
    QString replyFailure() const;
    // The length the whole file must have (the expected size, else what the
    // reply announced), or -1 when neither is known. Kept bytes count.
    qint64 expectedLength() const;
    // The most bytes the file may have at the end of this attempt, kept
    // bytes included, or -1 for no limit.
    qint64 attemptLimit() const;
    QString shortBodyText(qint64 received) const;
    // False, after failing the attempt, when a rate window ended with too
    // few bytes.
    bool checkRate(qint64 fetched);

    QNetworkAccessManager* m_Nam;
    // Guarded: the access manager may delete its replies before this task.
    QPointer<QNetworkReply> m_Reply;
    int m_IdleTicks;
    QString m_Name;
    int m_Version;
    QFile m_File;
    int m_Attempts;
    // Bytes read from the network since the last poll, whatever became of
    // them: kept bytes of an earlier attempt are not fetched again, while an
    // attempt that starts over fetches its bytes anew.
    qint64 m_Fetched = 0;
    // The rate window of this attempt: polls so far and bytes fetched in them.
    int m_RatePolls = 0;
    qint64 m_RateBytes = 0;
    qint64 m_BytesTotal;
    qint64 m_ExpectedSize;
    qint64 m_BytesReceived;
    // Why the server's certificate was refused in this attempt, if it was.
    QString m_TlsFailure;
    // "%1 returned %2" once the reply's status refused the request; the
    // attempt then ends with the reply.
    QString m_Refusal;
    qint64 m_RefusalBytes = 0;
    int m_RefusalStatus = 0;
    bool m_MayBeMissing = false;
    bool m_Missing = false;
    qint64 m_SizeLimit;
    // Size of the whole file as this attempt's reply announces it (the
    // Content-Length of a 200, the total of a 206's Content-Range), -1 when
    // it has none (yet).
    qint64 m_Announced;
    // Bytes kept on disk for the next attempt to continue, and the validator
    // of the file they belong to (of this attempt's reply, once it came).
    qint64 m_ResumeOffset = 0;
    QByteArray m_Validator;
};
