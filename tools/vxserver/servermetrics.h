#pragma once
// What the server has done since it started, as counters: answers per kind
// (version, news, banner), what the version answers offered each channel
// (per version, so a staged rollout shows its cohorts), requests dropped by
// the rate limiter, datagrams that are no request, answers the socket
// refused, and reloads with their result; and, as a gauge, the share of
// each staged answer of a rollout. prometheusText() gives them in
// the Prometheus text format, summaryLine() the changes since its last call
// as one log line.
//
// Every label value comes from the server itself (service names, channel
// names, version numbers it checked), never from a request.

#include "udpanswer.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

class ServerMetrics final
{
public:
    // Counters that exist before anything happened, so that they show as 0.
    void declareService(const QString& service, const QStringList& kinds);

    void answered(const QString& kind, const UdpAnswer& answer);
    void rateLimited(const QString& service);
    void malformed(const QString& service);
    void sendFailed(const QString& service);
    void reloaded(bool accepted);
    // The staged answers in service now, for the gauge of their shares.
    void setRollout(const QVector<UdpAnswer>& staged);

    QByteArray prometheusText() const;
    QString summaryLine();

    // One counter's value, 0 when it never counted: for example
    // value("vxserver_answers_total", "kind=\"news\"").
    quint64 value(const QString& name, const QString& labels) const;

private:
    void add(const QString& name, const QString& labels);
    // The changes of one counter's series since the last summary, keyed by
    // their label values joined by spaces.
    QMap<QString, quint64> changes(const char* name) const;

    // name -> labels -> count
    using Counters = QMap<QString, QMap<QString, quint64>>;
    Counters m_Counters;
    Counters m_Summarized;
    QVector<UdpAnswer> m_Rollout;
};
