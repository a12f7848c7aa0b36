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
#include "serverhelp.h"
#include "serverlog.h"
#include "serveroptions.h"
#include "signalwatcher.h"
#include "updateserver.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <memory>

namespace {

int fail(int status, const QString& reason)
{
    std::fprintf(stderr, "vxserver: %s\n", reason.toLocal8Bit().constData());
    return status;
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
    if (app.arguments().mid(1).contains(QStringLiteral("--help"))) {
        std::fputs(serverHelp(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    ServerOptions options;
    QString error;
    if (!parseServerOptions(app.arguments().mid(1), &options, &error))
        return fail(2, error + QStringLiteral("; ") + QLatin1String(serverUsage())
                           + QStringLiteral("; see 'vxserver --help'"));
    bool keyCreated = false;
    std::unique_ptr<Cohorts> cohorts = makeCohorts(options, &keyCreated, &error);
    if (!cohorts)
        return fail(1, error);

    SignalWatcher signalWatcher(nullptr);
    if (!signalWatcher.install(&error))
        return fail(1, error);
    QObject::connect(&signalWatcher, &SignalWatcher::stopRequested, &app, [](int signalNumber) {
        logLine(QStringLiteral("stopping on signal %1").arg(signalNumber));
        QCoreApplication::quit();
    });
    UpdateServer server(options, std::move(cohorts), nullptr);
    if (!server.start(&error))
        return fail(1, error);
    QObject::connect(&signalWatcher, &SignalWatcher::reloadRequested, &server, &UpdateServer::reload);
    if (keyCreated)
        logLine(QStringLiteral("made a new cohort key in %1").arg(options.cohortKeyFile));
    return app.exec();
}
