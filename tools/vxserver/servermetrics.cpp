#include "servermetrics.h"

namespace {

struct MetricHelp
{
    const char* name;
    const char* help;
};

// In the order they are written.
const MetricHelp kMetrics[] = {
    {"vxserver_answers_total", "UDP answers sent, per kind of request."},
    {"vxserver_version_offers_total", "Version answers sent, per channel and the version they offered it "
                                      "(staged rollouts show each cohort's)."},
    {"vxserver_rate_limited_total",
     "UDP requests not answered because their sender exceeded the rate limit."},
    {"vxserver_malformed_datagrams_total", "UDP datagrams that are no request of the service."},
    {"vxserver_send_failures_total", "UDP answers the socket did not take."},
    {"vxserver_reloads_total", "Reloads of the answers (SIGHUP), per result."},
};

QString label(const char* name, const QString& value)
{
    return QStringLiteral("%1=\"%2\"").arg(QLatin1String(name), value);
}

} // namespace

void ServerMetrics::declareService(const QString& service, const QStringList& kinds)
{
    for (const QString& kind : kinds)
        m_Counters[QStringLiteral("vxserver_answers_total")][label("kind", kind)];
    for (const char* name : {"vxserver_rate_limited_total", "vxserver_malformed_datagrams_total",
                             "vxserver_send_failures_total"})
        m_Counters[QLatin1String(name)][label("service", service)];
    for (const char* result : {"accepted", "refused"})
        m_Counters[QStringLiteral("vxserver_reloads_total")][label("result", QLatin1String(result))];
}

void ServerMetrics::add(const QString& name, const QString& labels)
{
    ++m_Counters[name][labels];
}

void ServerMetrics::answered(const QString& kind, const UdpAnswer& answer)
{
    add(QStringLiteral("vxserver_answers_total"), label("kind", kind));
    for (const QString& offer : answer.offers) {
        add(QStringLiteral("vxserver_version_offers_total"),
            label("channel", offer.section(QLatin1Char(' '), 0, 0)) + QLatin1Char(',')
                + label("version", offer.section(QLatin1Char(' '), 1)));
    }
}

void ServerMetrics::rateLimited(const QString& service)
{
    add(QStringLiteral("vxserver_rate_limited_total"), label("service", service));
}

void ServerMetrics::malformed(const QString& service)
{
    add(QStringLiteral("vxserver_malformed_datagrams_total"), label("service", service));
}

void ServerMetrics::sendFailed(const QString& service)
{
    add(QStringLiteral("vxserver_send_failures_total"), label("service", service));
}

void ServerMetrics::reloaded(bool accepted)
{
    add(QStringLiteral("vxserver_reloads_total"),
        label("result", accepted ? QStringLiteral("accepted") : QStringLiteral("refused")));
}

void ServerMetrics::setRollout(const QVector<UdpAnswer>& staged)
{
    m_Rollout = staged;
}

quint64 ServerMetrics::value(const QString& name, const QString& labels) const
{
    return m_Counters.value(name).value(labels);
}

QByteArray ServerMetrics::prometheusText() const
{
    QByteArray text;
    for (const MetricHelp& metric : kMetrics) {
        const QString name = QLatin1String(metric.name);
        text +=
            "# HELP " + name.toLatin1() + ' ' + metric.help + "\n# TYPE " + name.toLatin1() + " counter\n";
        const QMap<QString, quint64> series = m_Counters.value(name);
        for (auto it = series.constBegin(); it != series.constEnd(); ++it)
            text += QStringLiteral("%1{%2} %3\n").arg(name, it.key(), QString::number(it.value())).toLatin1();
    }
    text +=
        "# HELP vxserver_rollout_percent Share of the clients given each staged version list, by its line "
        "in the rollout file.\n# TYPE vxserver_rollout_percent gauge\n";
    for (int i = 0; i < m_Rollout.size(); ++i) {
        text += QStringLiteral("vxserver_rollout_percent{line=\"%1\",offers=\"%2\"} %3\n")
                    .arg(QString::number(i + 1), m_Rollout.at(i).offers.join(QStringLiteral(", ")),
                         QString::number(m_Rollout.at(i).cohortsBelow / 100.0))
                    .toLatin1();
    }
    return text;
}

QMap<QString, quint64> ServerMetrics::changes(const char* name) const
{
    const QMap<QString, quint64> now = m_Counters.value(QLatin1String(name));
    const QMap<QString, quint64> before = m_Summarized.value(QLatin1String(name));
    QMap<QString, quint64> changes;
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        // The label values without names and quotes: "stable 302".
        QStringList values;
        for (const QString& pair : it.key().split(QLatin1Char(',')))
            values << pair.section(QLatin1Char('"'), 1, 1);
        changes.insert(values.join(QLatin1Char(' ')), it.value() - before.value(it.key()));
    }
    return changes;
}

// "answers version 12 news 12 banner 3; offers stable 301 10, stable 302 2;
// rate limited 0; malformed 1; send failures 0; reloads accepted 1 refused 0"
QString ServerMetrics::summaryLine()
{
    auto listed = [](const QMap<QString, quint64>& changes, bool all, const QString& separator) {
        QStringList items;
        for (auto it = changes.constBegin(); it != changes.constEnd(); ++it) {
            if (all || it.value() > 0)
                items << it.key() + QLatin1Char(' ') + QString::number(it.value());
        }
        return items.join(separator);
    };
    auto total = [](const QMap<QString, quint64>& changes) {
        quint64 sum = 0;
        for (const quint64 change : changes)
            sum += change;
        return QString::number(sum);
    };
    const QString offers = listed(changes("vxserver_version_offers_total"), false, QStringLiteral(", "));
    const QString line =
        QStringLiteral("answers %1; offers %2; rate limited %3; malformed %4; send failures %5; reloads %6")
            .arg(listed(changes("vxserver_answers_total"), true, QStringLiteral(" ")),
                 offers.isEmpty() ? QStringLiteral("none") : offers,
                 total(changes("vxserver_rate_limited_total")),
                 total(changes("vxserver_malformed_datagrams_total")),
                 total(changes("vxserver_send_failures_total")),
                 listed(changes("vxserver_reloads_total"), true, QStringLiteral(" ")));
    m_Summarized = m_Counters;
    return line;
}
