// vxserver: the reference update server. Serves the files below --root over
// HTTP GET and answers the updater's UDP queries: the version list and news
// (request "3" or "*" and a zero byte) and the banner (0x01 0x01); without
// --root only the UDP answers. Binds 127.0.0.1 unless told otherwise. Prints
// one start-up line naming the ports in use, then one line per request; stops
// on SIGTERM or SIGINT with status 0; SIGHUP rereads the answers' files and
// keeps the old answers when they do not check out. Idle HTTP connections are
// closed and UDP answers are rate-limited per sender address (serveroptions.h).
// Exit status 2 on usage errors, 1 when a service cannot be started.

#include "cohorts.h"
#include "fileserver.h"
#include "metricsendpoint.h"
#include "serverlog.h"
#include "servermetrics.h"
#include "serveroptions.h"
#include "signalwatcher.h"
#include "udpreplyserver.h"

#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <memory>

namespace {

const char* const kUsage =
    "usage: vxserver [--root DIR [--http-port P]] [--bind 127.0.0.1] "
    "[--versions \"N#label,...\" | --versions-file FILE] [--news FILE] "
    "[--rollout FILE --cohort-key FILE] "
    "[--banner \"imageURL,clickURL\" | --banner-file FILE] [--udp-port 17384] [--banner-port 2009] "
    "[--idle-timeout 30] [--max-connections 256] [--udp-rate 5] [--udp-burst 20] "
    "[--metrics-port P] [--summary-interval 60]";

const char* const kHelp =
    "vxserver: the reference update server\n"
    "  --root DIR            serve the files below DIR over HTTP GET and HEAD (without: UDP answers alone)\n"
    "  --http-port P         HTTP port (8080; 0 lets the system choose)\n"
    "  --bind ADDRESS        address of every service (127.0.0.1)\n"
    "  --versions LIST       answer version queries on --udp-port: \"N#label,...\", entry i for channel i\n"
    "  --versions-file FILE  the same list read from FILE (reread on SIGHUP)\n"
    "  --news FILE           the news answer of the version service (UTF-8, at most 4095 bytes)\n"
    "  --rollout FILE        staged version lists: lines \"PERCENT FILE\" (reread on SIGHUP)\n"
    "  --cohort-key FILE     the secret that places senders in cohorts (made when missing)\n"
    "  --banner IMAGE,CLICK  answer banner queries on --banner-port\n"
    "  --banner-file FILE    the same answer read from FILE (reread on SIGHUP)\n"
    "  --udp-port P          version service port (17384)\n"
    "  --banner-port P       banner service port (2009)\n"
    "  --idle-timeout S      close HTTP connections idle for S seconds (30; fractions allowed)\n"
    "  --max-connections N   HTTP connections open at once (256); one more is answered 503 and closed\n"
    "  --udp-rate N          UDP answers per second to one sender address (5); more get none\n"
    "  --udp-burst N         UDP answers one sender address may get at once (20)\n"
    "  --metrics-port P      serve the metrics on 127.0.0.1:P/metrics (off)\n"
    "  --summary-interval S  log a summary line every S seconds (60; 0: never)\n";

int fail(int status, const QString& reason)
{
    std::fprintf(stderr, "vxserver: %s\n", reason.toLocal8Bit().constData());
    return status;
}

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

// The rollout's lines as the log shows them: "10% to 302, 0% to 303".
QString describeRollout(const ServerOptions& options)
{
    QStringList stages;
    for (const UdpAnswer& answer : options.stagedVersionReplies)
        stages << QStringLiteral("%1% to %2")
                      .arg(QString::number(answer.cohortsBelow / 100.0),
                           answer.offers.join(QStringLiteral(" ")));
    return stages.isEmpty() ? QString() : QStringLiteral("; staged: ") + stages.join(QStringLiteral(", "));
}

// The cohorts of a staged rollout (without one: never asked, so keyless);
// null when the key cannot be had.
std::unique_ptr<Cohorts> makeCohorts(const ServerOptions& options, bool* created, QString* error)
{
    *created = false;
    if (options.cohortKeyFile.isEmpty())
        return std::make_unique<Cohorts>(QByteArray());
    QByteArray key;
    if (!Cohorts::loadOrCreateKey(options.cohortKeyFile, &key, created, error))
        return nullptr;
    return std::make_unique<Cohorts>(key);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().mid(1) == QStringList{QStringLiteral("--help")}) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    ServerOptions options;
    QString error;
    if (!parseServerOptions(app.arguments().mid(1), &options, &error))
        return fail(2, error + QStringLiteral("; ") + QLatin1String(kUsage));
    bool keyCreated = false;
    const std::unique_ptr<Cohorts> cohorts = makeCohorts(options, &keyCreated, &error);
    if (!cohorts)
        return fail(1, error);

    SignalWatcher signalWatcher(nullptr);
    if (!signalWatcher.install(&error))
        return fail(1, error);
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &app, [](int signalNumber) {
        logLine(QStringLiteral("stopping on signal %1").arg(signalNumber));
        QCoreApplication::quit();
    });

    FileServer files(options.root, options.idleTimeoutMs, options.maxConnections, nullptr);
    QStringList services;
    if (!options.root.isEmpty()) {
        if (!files.listen(options.bindAddress, options.httpPort, &error))
            return fail(1, error);
        services << QStringLiteral("http %1").arg(files.port());
    }

    ServerMetrics metrics;
    metrics.setRollout(options.stagedVersionReplies);
    UdpReplyServer versions(QStringLiteral("versions"), versionReplies(options), cohorts.get(), &metrics,
                            options.udpRate, options.udpBurst, nullptr);
    if (options.versionService) {
        if (!versions.listen(options.bindAddress, options.versionPort, &error))
            return fail(1, error);
        metrics.declareService(QStringLiteral("versions"),
                               {QStringLiteral("version"), QStringLiteral("news")});
        services << QStringLiteral("versions udp %1").arg(versions.port());
    }
    UdpReplyServer banner(QStringLiteral("banner"), bannerReplies(options), cohorts.get(), &metrics,
                          options.udpRate, options.udpBurst, nullptr);
    if (options.bannerService) {
        if (!banner.listen(options.bindAddress, options.bannerPort, &error))
            return fail(1, error);
        metrics.declareService(QStringLiteral("banner"), {QStringLiteral("banner")});
        services << QStringLiteral("banner udp %1").arg(banner.port());
    }
    MetricsEndpoint endpoint(&metrics, nullptr);
    if (options.metricsPort >= 0) {
        if (!endpoint.listen(quint16(options.metricsPort), &error))
            return fail(1, error);
        services << QStringLiteral("metrics http 127.0.0.1 %1").arg(endpoint.port());
    }
    QObject::connect(&signalWatcher, &SignalWatcher::reloadRequested, &app, [&] {
        QString reason;
        const bool accepted = reloadAnswers(&options, &reason);
        metrics.reloaded(accepted);
        if (!accepted) {
            logLine(QStringLiteral("reload refused, answers unchanged: %1").arg(reason));
            return;
        }
        versions.setReplies(versionReplies(options));
        metrics.setRollout(options.stagedVersionReplies);
        banner.setReplies(bannerReplies(options));
        logLine(QStringLiteral("reloaded the answers%1").arg(describeRollout(options)));
    });
    QTimer summary;
    QObject::connect(&summary, &QTimer::timeout, &app,
                     [&metrics] { logLine(QStringLiteral("summary: ") + metrics.summaryLine()); });
    if (options.summaryIntervalMs > 0)
        summary.start(options.summaryIntervalMs);
    logLine(QStringLiteral("serving %1 on %2: %3%4")
                .arg(options.root.isEmpty() ? QStringLiteral("UDP answers") : options.root,
                     options.bindAddress.toString(), services.join(QStringLiteral(", ")),
                     describeRollout(options)));
    if (keyCreated)
        logLine(QStringLiteral("made a new cohort key in %1").arg(options.cohortKeyFile));
    return app.exec();
}
