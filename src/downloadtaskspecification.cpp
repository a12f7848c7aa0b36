#include "downloadtaskspecification.h"

#include "configuration.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSslError>
#include <QUrl>

namespace {

// Largest piece moved from the reply to the file at once, so that memory use
// does not grow with the file size.
constexpr qint64 kChunkSize = 4096;
// Attempts after the first; five in all.
constexpr int kMaxRetries = 4;
// Engine polls (one a second) without data that still count as downloading.
constexpr int kMaxIdleTicks = 15;
// Polls in one rate window; tests shorten it.
int g_RateWindowPolls = DownloadTaskSpecification::kRateWindowPolls;
// The body of a refused request is read and dropped up to this size; a longer
// one ends the attempt at once.
constexpr qint64 kMaxRefusalBody = 64 * 1024;

} // namespace

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* nam,
                                                     const QString& name, int version,
                                                     const QString& filePath,
                                                     qint64 expectedSize, qreal weight,
                                                     QObject* parent)
    : TaskSpecification(parent, weight)
    , m_Nam(nam)
    , m_Reply(nullptr)
    , m_IdleTicks(0)
    , m_Name(name)
    , m_Version(version)
    , m_File(filePath)
    , m_Attempts(0)
    , m_BytesTotal(expectedSize)
    , m_ExpectedSize(expectedSize)
    , m_BytesReceived(0)
    , m_SizeLimit(-1)
    , m_Announced(-1)
{
}

DownloadTaskSpecification::~DownloadTaskSpecification()
{
    if (m_Reply) {
        disconnect(m_Reply, nullptr, this, nullptr);
        m_Reply->deleteLater();
    }
}

int DownloadTaskSpecification::failedAttempts() const
{
    return m_Attempts;
}

void DownloadTaskSpecification::setFailedAttempts(int attempts)
{
    m_Attempts = attempts;
}

QString DownloadTaskSpecification::filePath() const
{
    return m_File.fileName();
}

void DownloadTaskSpecification::setSizeLimit(qint64 bytes)
{
    m_SizeLimit = bytes;
}

void DownloadTaskSpecification::setMayBeMissing(bool mayBeMissing)
{
    m_MayBeMissing = mayBeMissing;
}

bool DownloadTaskSpecification::isMissing() const
{
    return m_Missing;
}

qint64 DownloadTaskSpecification::expectedLength() const
{
    return m_ExpectedSize >= 0 ? m_ExpectedSize : m_Announced;
}

QString DownloadTaskSpecification::shortBodyText(qint64 received) const
{
    return QObject::tr("%1 ended after %2 of %3 bytes")
        .arg(m_Name)
        .arg(received)
        .arg(expectedLength());
}

qint64 DownloadTaskSpecification::attemptLimit() const
{
    return expectedLength() >= 0 ? expectedLength() : m_SizeLimit;
}

void DownloadTaskSpecification::execute()
{
    qDebug() << "Downloading" << m_Name;
    emit message(QObject::tr("Downloading %1").arg(m_Name));
    m_TaskState = TASK_RUNNING;
    startDownload();
}

void DownloadTaskSpecification::startDownload()
{
    // Unbuffered: each chunk reaches the file system when it is written, so a
    // full disk shows up as a write error of this attempt and not as a silent
    // loss when the file is closed. A resumed attempt appends to what the
    // last one wrote.
    const QIODevice::OpenMode keep = m_ResumeOffset > 0 ? QIODevice::Append : QIODevice::Truncate;
    if (!m_File.open(QIODevice::WriteOnly | QIODevice::Unbuffered | keep)) {
        emit error(QObject::tr("Unable to create file %1 for saving").arg(m_File.fileName()));
        setFailed();
        return;
    }
    if (m_ResumeOffset > 0 && m_File.size() != m_ResumeOffset) {
        // Not what the last attempt left: nothing to continue.
        m_File.resize(0);
        forgetResume();
    }

    const QUrl url(g_UpdateBaseUrl + QString::number(m_Version) + QLatin1Char('/') + m_Name,
                   QUrl::TolerantMode);
    qDebug() << "Requesting download of" << url;
    QNetworkRequest request(url);
    // Redirects count as failed attempts; an access manager set up to follow
    // them must not change that for update files.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    if (m_ResumeOffset > 0) {
        // If-Range: the rest of the file only while it is the same file,
        // otherwise the whole new one. Byte offsets of a compressed answer
        // would not be those of the file.
        request.setRawHeader("Range", "bytes=" + QByteArray::number(m_ResumeOffset) + '-');
        request.setRawHeader("If-Range", m_Validator);
        request.setRawHeader("Accept-Encoding", "identity");
        m_BytesReceived = m_ResumeOffset;
        emit message(QObject::tr("Resuming %1 at byte %2").arg(m_Name).arg(m_ResumeOffset));
    }
    m_Reply = m_Nam->get(request);
    if (!m_Reply) {
        abortReply();
        emit error(QObject::tr("Download failed to initialize"));
        setFailed();
        return;
    }
    if (!m_Reply->isRunning()) {
        failAttempt(replyFailure(), true);
        return;
    }
    connect(m_Reply, &QNetworkReply::downloadProgress, this,
            &DownloadTaskSpecification::onDownloadProgress);
    connect(m_Reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(m_Reply, &QNetworkReply::finished, this,
            &DownloadTaskSpecification::onDownloadFinished);
    connect(m_Reply, &QNetworkReply::metaDataChanged, this,
            &DownloadTaskSpecification::onMetaDataChanged);
    connect(m_Reply, &QNetworkReply::sslErrors, this, &DownloadTaskSpecification::onSslErrors);
}

void DownloadTaskSpecification::onSslErrors(const QList<QSslError>& errors)
{
    // The reply then ends with a bare "SSL handshake failed"; keep the reasons.
    QStringList reasons;
    for (const QSslError& error : errors)
        reasons << error.errorString();
    m_TlsFailure = QObject::tr("The secure connection to %1 was refused: %2")
                       .arg(m_Reply->url().host(), reasons.join(QStringLiteral("; ")));
}

QString DownloadTaskSpecification::replyFailure() const
{
    if (!m_TlsFailure.isEmpty())
        return m_TlsFailure;
    // Through a proxy every connection goes to the proxy, so a failed
    // connection is the proxy's: say so, or users look for the fault at the
    // update server.
    const QNetworkProxy proxy = m_Nam->proxy();
    const int code = m_Reply->error();
    const bool connectionFailed = (code > 0 && code < 100) || (code > 100 && code < 200);
    if (proxy.type() == QNetworkProxy::HttpProxy && connectionFailed)
        return QObject::tr("The proxy %1:%2 could not be used: %3")
            .arg(proxy.hostName())
            .arg(proxy.port())
            .arg(m_Reply->errorString());
    return m_Reply->errorString();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    const QVariant status = m_Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    bool ok = false;
    int code = status.toInt(&ok);
    if (!ok)
        code = 0;
    if (code == 206 && m_ResumeOffset > 0) {
        if (!takeRest())
            return;
    } else if (code != 200) {
        // The attempt ends when the reply does. A reply with an error status
        // raises its own error when it ends; aborting it here, while that
        // report may already be on its way, would raise a second one.
        m_Refusal = QObject::tr("%1 returned %2").arg(m_Name).arg(code);
        m_RefusalStatus = code;
        return;
    } else if (!takeWholeFile()) {
        return;
    }
    // Refused before a byte of the body is taken.
    if (m_ExpectedSize < 0 && m_SizeLimit >= 0 && m_Announced > m_SizeLimit)
        failAttempt(QObject::tr("%1 is announced with %2 bytes, more than the limit of %3 bytes")
                        .arg(m_Name)
                        .arg(m_Announced)
                        .arg(m_SizeLimit));
}

bool DownloadTaskSpecification::takeRest()
{
    qint64 total = -1;
    if (!continuesFile(&total)) {
        restartFromZero(
            QObject::tr("%1 changed on the server; downloading it again from the start").arg(m_Name));
        return false;
    }
    m_Validator = validator();
    m_Announced = total;
    // The reply's own total counts only the rest.
    m_BytesTotal = total;
    return true;
}

bool DownloadTaskSpecification::takeWholeFile()
{
    if (m_ResumeOffset > 0) {
        // The whole file after all (ranges ignored, or another file).
        emit message(QObject::tr("%1 is sent from the start again").arg(m_Name));
        m_File.resize(0);
        m_BytesReceived = 0;
        m_ResumeOffset = 0;
        setProgress(0);
    }
    m_Validator = validator();
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    if (!length.isValid())
        return false;
    m_Announced = length.toLongLong();
    // A server that announces the wrong size will not send the right file.
    if (m_ExpectedSize >= 0 && m_Announced != m_ExpectedSize) {
        failAttempt(QObject::tr("%1 is announced with %2 bytes instead of the %3 expected")
                        .arg(m_Name)
                        .arg(m_Announced)
                        .arg(m_ExpectedSize));
        return false;
    }
    return true;
}

QByteArray DownloadTaskSpecification::validator() const
{
    // A weak ETag does not promise the same bytes; Last-Modified is what is
    // left then.
    const QByteArray etag = m_Reply->rawHeader("ETag");
    if (!etag.isEmpty() && !etag.startsWith("W/"))
        return etag;
    return m_Reply->rawHeader("Last-Modified");
}

bool DownloadTaskSpecification::continuesFile(qint64* total) const
{
    static const QRegularExpression range(QStringLiteral("^bytes (\\d{1,18})-(\\d{1,18})/(\\d{1,18})$"));
    const QRegularExpressionMatch match =
        range.match(QString::fromLatin1(m_Reply->rawHeader("Content-Range")));
    if (!match.hasMatch() || validator() != m_Validator)
        return false;
    const qint64 first = match.captured(1).toLongLong();
    const qint64 last = match.captured(2).toLongLong();
    *total = match.captured(3).toLongLong();
    if (first != m_ResumeOffset || last != *total - 1
        || (m_ExpectedSize >= 0 && *total != m_ExpectedSize))
        return false;
    // The body is the rest of the file, not the file.
    const QVariant length = m_Reply->header(QNetworkRequest::ContentLengthHeader);
    return !length.isValid() || length.toLongLong() == *total - m_ResumeOffset;
}

void DownloadTaskSpecification::restartFromZero(const QString& reason)
{
    // Not a failed attempt: the server answered, with something else.
    abortReply();
    emit message(reason);
    startDownload();
}

void DownloadTaskSpecification::forgetResume()
{
    m_ResumeOffset = 0;
    m_Validator.clear();
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && m_BytesTotal == -1 && m_Refusal.isEmpty() && m_ResumeOffset == 0)
        m_BytesTotal = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    writeAvailable();
}

bool DownloadTaskSpecification::writeAvailable()
{
    char chunk[kChunkSize];
    while (m_Reply) {
        m_IdleTicks = 0;
        if (m_Reply->bytesAvailable() <= 0)
            return true;
        const qint64 read = m_Reply->read(chunk, kChunkSize);
        if (read < 0) {
            failAttempt(m_Reply->errorString(), true);
            return false;
        }
        if (read == 0)
            return true;
        m_Fetched += read;
        if (!m_Refusal.isEmpty()) {
            // Not the file: an error page, dropped.
            m_RefusalBytes += read;
            if (m_RefusalBytes > kMaxRefusalBody) {
                failAttempt(m_Refusal);
                return false;
            }
            continue;
        }
        const qint64 limit = attemptLimit();
        if (limit >= 0 && read > limit - m_BytesReceived) {
            failAttempt(m_ExpectedSize < 0 && m_Announced < 0
                            ? QObject::tr("%1 is larger than the limit of %2 bytes")
                                  .arg(m_Name)
                                  .arg(limit)
                            : QObject::tr("%1 is longer than the expected %2 bytes")
                                  .arg(m_Name)
                                  .arg(limit));
            return false;
        }
        const qint64 written = m_File.write(chunk, read);
        if (written < 0) {
            failAttempt(m_File.errorString());
            return false;
        }
        if (written != read) {
            failAttempt(
                QObject::tr("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                    .arg(m_File.fileName())
                    .arg(read)
                    .arg(written));
            return false;
        }
        m_BytesReceived += read;
        if (m_BytesTotal > 0)
            setProgress(qMin(1.0, qreal(m_BytesReceived) / qreal(m_BytesTotal)));
    }
    return true;
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!m_Reply)
        return;
    if (!m_Refusal.isEmpty()) {
        if (m_MayBeMissing && m_RefusalStatus == 404) {
            abortReply();
            m_Missing = true;
            emit message(QObject::tr("%1 is not on the server").arg(m_Name));
            setFinished();
            return;
        }
        failAttempt(m_Refusal);
        return;
    }
    if (m_Reply->error() != QNetworkReply::NoError) {
        if (m_Reply->error() == QNetworkReply::AuthenticationRequiredError)
            m_Reply->close();
        // The access manager's own text for a body cut short says only that
        // the connection closed.
        const qint64 received = m_BytesReceived + qMax<qint64>(0, m_Reply->bytesAvailable());
        if (m_Reply->error() == QNetworkReply::RemoteHostClosedError && expectedLength() >= 0
            && received < expectedLength())
            failAttempt(shortBodyText(received), true);
        else
            failAttempt(replyFailure(), true);
        return;
    }
    if (!writeAvailable())
        return;
    // Without a Content-Length, a connection closed early ends the reply
    // without an error.
    if (expectedLength() >= 0 && m_BytesReceived != expectedLength()) {
        failAttempt(shortBodyText(m_BytesReceived), true);
        return;
    }
    m_Reply->close();
    m_Reply->deleteLater();
    m_Reply = nullptr;
    m_File.close();
    downloadFinished();
}

void DownloadTaskSpecification::downloadFinished()
{
    qDebug() << "Download finished:" << m_Name << m_File.fileName() << m_File.isOpen()
             << m_File.exists();
    Q_ASSERT(m_File.exists());
    emit message(QObject::tr("Downloading %1 finished").arg(m_Name));
    setFinished();
}

bool DownloadTaskSpecification::failAttempt(const QString& reason, bool resumable)
{
    // The reason may be this attempt's own state, which the abort clears.
    const QString text = reason;
    // What a broken transfer of a named file wrote stays for the next
    // attempt to continue; anything else starts again from byte 0. A refused
    // request wrote nothing of the file, and its validator is an old one.
    const bool keep = resumable && m_Refusal.isEmpty() && !m_Validator.isEmpty()
                      && m_File.isOpen() && m_BytesReceived > 0 && m_Attempts < kMaxRetries;
    if (keep)
        m_ResumeOffset = m_BytesReceived;
    abortReply(keep);
    emit message(text);
    ++m_Attempts;
    if (m_Attempts <= kMaxRetries) {
        startDownload();
        return true;
    }
    emit message(QObject::tr("Unable to download %1").arg(m_Name));
    m_File.remove();
    setFailed();
    return false;
}

void DownloadTaskSpecification::abortReply(bool keepFile)
{
    if (m_Reply) {
        QNetworkReply* reply = m_Reply;
        m_Reply = nullptr;
        disconnect(reply, nullptr, this, nullptr);
        // Stop the transfer now rather than when the deferred delete runs: the
        // next attempt must not queue behind it for one of the access
        // manager's few connections to the host.
        reply->abort();
        reply->deleteLater();
    }
    m_IdleTicks = 0;
    m_RatePolls = 0;
    m_RateBytes = 0;
    m_TlsFailure.clear();
    m_Refusal.clear();
    m_RefusalBytes = 0;
    m_RefusalStatus = 0;
    if (m_File.isOpen()) {
        m_File.close();
        if (!keepFile)
            m_File.remove();
    }
    if (!keepFile)
        forgetResume();
    m_BytesReceived = 0;
    m_BytesTotal = m_ExpectedSize;
    m_Announced = -1;
    setProgress(0);
}

void DownloadTaskSpecification::pollDownloadStatus(quint64* downloadDone,
                                                   quint64* downloadTotal, quint64* newBytes,
                                                   bool* downloading)
{
    *downloadDone = quint64(m_BytesReceived);
    *downloadTotal = m_BytesTotal < 0 ? 0 : quint64(m_BytesTotal);
    *newBytes = quint64(m_Fetched);
    *downloading = false;
    const qint64 fetched = m_Fetched;
    m_Fetched = 0;

    if (m_TaskState != TASK_RUNNING || !m_Reply)
        return;
    if (!checkRate(fetched))
        return;
    ++m_IdleTicks;
    if (m_IdleTicks <= kMaxIdleTicks)
        *downloading = true;
    else
        failAttempt(QObject::tr("file %1 timed out").arg(m_Name), true);
}

void DownloadTaskSpecification::setRateWindowPolls(int polls)
{
    g_RateWindowPolls = polls > 0 ? polls : kRateWindowPolls;
}

bool DownloadTaskSpecification::checkRate(qint64 fetched)
{
    m_RateBytes += fetched;
    if (++m_RatePolls < g_RateWindowPolls)
        return true;
    const qint64 needed = kMinimumBytesPerPoll * m_RatePolls;
    const qint64 moved = m_RateBytes;
    const int polls = m_RatePolls;
    m_RatePolls = 0;
    m_RateBytes = 0;
    if (moved >= needed)
        return true;
    failAttempt(QObject::tr("file %1 came too slowly: %2 bytes in %3 seconds, at least %4 bytes a second "
                            "are needed")
                    .arg(m_Name)
                    .arg(moved)
                    .arg(polls)
                    .arg(kMinimumBytesPerPoll),
                true);
    return false;
}

void DownloadTaskSpecification::cancel()
{
    TaskSpecification::cancel();
    if (m_TaskState != TASK_RUNNING)
        return;
    abortReply();
    setAborted();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
    if (m_Reply) {
        emit message(QObject::tr("Abort downloading %1").arg(m_Name));
        abortReply();
    }
    setFailed();
}

void DownloadTaskSpecification::reset()
{
    abortReply();
    m_Attempts = 0;
    m_Missing = false;
    TaskSpecification::reset();
}
