#include "udpreplyserver.h"

#include "cohorts.h"
#include "serverlog.h"
#include "servermetrics.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

// Lines about datagrams that are no request, per sender address.
constexpr double kIgnoredLinesPerSecond = 1;
constexpr int kIgnoredLinesBurst = 10;

} // namespace

UdpReplyServer::UdpReplyServer(const QString& name, const QMap<QByteArray, UdpReply>& replies,
                               const Cohorts* cohorts, ServerMetrics* metrics, double answersPerSecond,
                               int burst, QObject* parent)
    : QObject(parent)
    , m_Name(name)
    , m_Replies(replies)
    , m_Cohorts(cohorts)
    , m_Metrics(metrics)
    , m_Socket(new QUdpSocket(this))
    , m_Limiter(answersPerSecond, burst)
    , m_IgnoredLogLimiter(kIgnoredLinesPerSecond, kIgnoredLinesBurst)
{
    m_Clock.start();
    connect(m_Socket, &QUdpSocket::readyRead, this, &UdpReplyServer::onReadyRead);
}

bool UdpReplyServer::listen(const QHostAddress& address, quint16 port, QString* error)
{
    if (m_Socket->bind(address, port))
        return true;
    *error = QStringLiteral("cannot bind the %1 service to %2 UDP port %3: %4")
                 .arg(m_Name, address.toString(), QString::number(port), m_Socket->errorString());
    return false;
}

quint16 UdpReplyServer::port() const
{
    return m_Socket->localPort();
}

void UdpReplyServer::setReplies(const QMap<QByteArray, UdpReply>& replies)
{
    m_Replies = replies;
}

void UdpReplyServer::onReadyRead()
{
    while (m_Socket->hasPendingDatagrams()) {
        const QNetworkDatagram request = m_Socket->receiveDatagram();
        const QString peer = QStringLiteral("%1:%2").arg(request.senderAddress().toString(),
                                                         QString::number(request.senderPort()));
        const auto reply = m_Replies.constFind(request.data());
        if (reply == m_Replies.constEnd()) {
            m_Metrics->malformed(m_Name);
            if (m_IgnoredLogLimiter.take(request.senderAddress(), m_Clock.elapsed()) != UdpRateLimiter::Allowed)
                continue;
            logLine(QStringLiteral("%1 %2 ignored %3 bytes 0x%4")
                        .arg(peer, m_Name, QString::number(request.data().size()),
                             QString::fromLatin1(request.data().left(8).toHex())));
            continue;
        }
        const UdpRateLimiter::Verdict verdict = m_Limiter.take(request.senderAddress(), m_Clock.elapsed());
        if (verdict != UdpRateLimiter::Allowed) {
            m_Metrics->rateLimited(m_Name);
            if (verdict == UdpRateLimiter::Refused)
                logLine(QStringLiteral("%1 %2 0x%3 rate limited, not answered until the sender slows down")
                            .arg(peer, m_Name, QString::fromLatin1(request.data().toHex())));
            continue;
        }
        const int cohort = reply->staged() ? m_Cohorts->cohortOf(request.senderAddress()) : 0;
        const UdpAnswer& answer = reply->answerFor(cohort);
        const qint64 sent =
            m_Socket->writeDatagram(answer.bytes, request.senderAddress(), request.senderPort());
        if (sent < 0)
            m_Metrics->sendFailed(m_Name);
        else
            m_Metrics->answered(reply->kind, answer);
        logLine(QStringLiteral("%1 %2 0x%3 %4%5")
                    .arg(peer, m_Name, QString::fromLatin1(request.data().toHex()),
                         sent < 0 ? QStringLiteral("failed: ") + m_Socket->errorString()
                                  : QStringLiteral("answered %1 bytes").arg(sent),
                         reply->staged() ? QStringLiteral(" (cohort %1)").arg(cohort) : QString()));
    }
}
