#include "updateserver.h"

#include "serverlog.h"

namespace {

UdpAnswer plainAnswer(const QByteArray& bytes)
{
    UdpAnswer answer;
    answer.bytes = bytes;
    return answer;
}

QMap<QByteArray, UdpReply> versionReplies(const ServerOptions& options)
{
    UdpReply versions{QStringLiteral("version"), options.stagedVersionReplies};
    UdpAnswer rest = plainAnswer(options.versionReply);
    rest.offers = versionOffers(options.versionReply);
    versions.answers.append(rest);
    return {{QByteArray("3", 2), versions},
            {QByteArray("*", 2), UdpReply{QStringLiteral("news"), {plainAnswer(options.newsReply)}}}};
}

QMap<QByteArray, UdpReply> bannerReplies(const ServerOptions& options)
{
    return {
        {QByteArray("\x01\x01", 2), UdpReply{QStringLiteral("banner"), {plainAnswer(options.bannerReply)}}}};
}

} // namespace

UpdateServer::UpdateServer(const ServerOptions& options, std::unique_ptr<Cohorts> cohorts, QObject* parent)
    : QObject(parent)
    , m_Options(options)
    , m_Cohorts(std::move(cohorts))
    // Members, not children: each is destroyed with the server, in order.
    , m_Files(options.root, options.idleTimeoutMs, options.maxConnections, nullptr)
    , m_Versions(QStringLiteral("versions"), versionReplies(options), m_Cohorts.get(), &m_Metrics,
                 options.udpRate, options.udpBurst, nullptr)
    , m_Banner(QStringLiteral("banner"), bannerReplies(options), m_Cohorts.get(), &m_Metrics, options.udpRate,
               options.udpBurst, nullptr)
    , m_Endpoint(&m_Metrics, nullptr)
{
    m_Metrics.setRollout(options.stagedVersionReplies);
    connect(&m_Summary, &QTimer::timeout, this,
            [this] { logLine(QStringLiteral("summary: ") + m_Metrics.summaryLine()); });
}

bool UpdateServer::start(QString* error)
{
    QStringList services;
    const QHostAddress& address = m_Options.bindAddress;
    if (!m_Options.root.isEmpty()) {
        if (!m_Files.listen(address, m_Options.httpPort, error))
            return false;
        services << QStringLiteral("http %1").arg(m_Files.port());
    }
    if (m_Options.versionService) {
        if (!m_Versions.listen(address, m_Options.versionPort, error))
            return false;
        m_Metrics.declareService(QStringLiteral("versions"),
                                 {QStringLiteral("version"), QStringLiteral("news")});
        services << QStringLiteral("versions udp %1").arg(m_Versions.port());
    }
    if (m_Options.bannerService) {
        if (!m_Banner.listen(address, m_Options.bannerPort, error))
            return false;
        m_Metrics.declareService(QStringLiteral("banner"), {QStringLiteral("banner")});
        services << QStringLiteral("banner udp %1").arg(m_Banner.port());
    }
    if (m_Options.metricsPort >= 0) {
        if (!m_Endpoint.listen(quint16(m_Options.metricsPort), error))
            return false;
        // Never "http N": scripts read the file service's port from that.
        services << QStringLiteral("metrics 127.0.0.1:%1").arg(m_Endpoint.port());
    }
    if (m_Options.summaryIntervalMs > 0)
        m_Summary.start(m_Options.summaryIntervalMs);
    logLine(QStringLiteral("serving %1 on %2: %3%4")
                .arg(m_Options.root.isEmpty() ? QStringLiteral("UDP answers") : m_Options.root,
                     address.toString(), services.join(QStringLiteral(", ")), describeRollout()));
    return true;
}

void UpdateServer::reload()
{
    QString reason;
    const bool accepted = reloadAnswers(&m_Options, &reason);
    m_Metrics.reloaded(accepted);
    if (!accepted) {
        logLine(QStringLiteral("reload refused, answers unchanged: %1").arg(reason));
        return;
    }
    m_Versions.setReplies(versionReplies(m_Options));
    m_Banner.setReplies(bannerReplies(m_Options));
    m_Metrics.setRollout(m_Options.stagedVersionReplies);
    logLine(QStringLiteral("reloaded the answers%1").arg(describeRollout()));
}

// "; staged: 10% to stable 302 beta 301, 0% to ..." for the log.
QString UpdateServer::describeRollout() const
{
    QStringList stages;
    for (const UdpAnswer& answer : m_Options.stagedVersionReplies)
        stages << QStringLiteral("%1% to %2")
                      .arg(QString::number(answer.cohortsBelow / 100.0),
                           answer.offers.join(QLatin1Char(' ')));
    return stages.isEmpty() ? QString() : QStringLiteral("; staged: ") + stages.join(QStringLiteral(", "));
}
