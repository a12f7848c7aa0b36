#pragma once
// A UDP service that answers fixed requests with fixed replies, one datagram
// each, to the sender's address and port: the version service ("3" and "*",
// each followed by a zero byte) and the banner service (0x01 0x01). Any other
// datagram gets no answer, as a client waiting for a reply to a request it
// did not make must not be fed one.
//
// Answers are rate-limited per sender address (UdpRateLimiter): a request
// beyond the limit gets no answer, and only the first one of a run of
// refusals is logged; datagrams that are no request are logged at the same
// kind of limited pace (UdpRateLimiter over log lines), so a flood fills
// neither the network nor the log.
//
// A staged reply (udpanswer.h) is chosen by the sender's cohort, so the same
// address gets the same answer every time. Everything is counted in the
// server's metrics.

#include "udpanswer.h"
#include "udpratelimiter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QString>

class Cohorts;
class QUdpSocket;
class ServerMetrics;

class UdpReplyServer final : public QObject
{
    Q_OBJECT

public:
    // `name` labels the log lines and metrics; `replies` maps each request to
    // its reply. `cohorts` may be null when no reply is staged; `metrics`
    // must outlive the server.
    UdpReplyServer(const QString& name, const QMap<QByteArray, UdpReply>& replies, const Cohorts* cohorts,
                   ServerMetrics* metrics, double answersPerSecond, int burst, QObject* parent);

    // False with the reason when the address and port cannot be bound.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;
    // Replaces the replies (a reload); requests already answered stay answered.
    void setReplies(const QMap<QByteArray, UdpReply>& replies);

private:
    void onReadyRead();

    QString m_Name;
    QMap<QByteArray, UdpReply> m_Replies;
    const Cohorts* m_Cohorts;
    ServerMetrics* m_Metrics;
    QUdpSocket* m_Socket;
    UdpRateLimiter m_Limiter;
    UdpRateLimiter m_IgnoredLogLimiter;
    QElapsedTimer m_Clock;
};
