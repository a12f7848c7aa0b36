#include "commandlinehelp.h"
#include "configuration.h"
#include "diagnostics.h"
#include "mainwindow.h"
#include "sessiondirectory.h"
#include "singleinstancechecker.h"
#include "startupcleanup.h"
#include "trustedkeys.h"
#include "unattendedrun.h"

#include <QApplication>
#include <QDebug>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

namespace {

const int kSessionStartDelayMs = 2000;

bool isOnlyArgument(int argc, char* argv[], const char* option)
{
    return argc == 2 && qstrcmp(argv[1], option) == 0;
}

int printHelp()
{
    std::fputs(CommandLineHelp::text(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

// "--recover", the installation's run script calls it before the client:
// finish or undo an interrupted update, then exit. No window, no display.
int recoverOnly(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList report;
    const bool sound = StartupCleanup::recoverInstallations(QCoreApplication::applicationDirPath(), &report);
    for (const QString& line : qAsConst(report))
        std::fprintf(stderr, "update: %s\n", line.toLocal8Bit().constData());
    return sound ? 0 : 1;
}

// "--key-fingerprints": the ids of the keys this build trusts, for checking
// a build before it ships. No window, no display.
int printKeyFingerprints()
{
    for (const QString& line : TrustedKeys::fingerprintLines())
        std::printf("%s\n", line.toLatin1().constData());
    return 0;
}

int otherInstanceRunning(bool unattended)
{
    qDebug() << "Detected other instance running, aborting";
    if (!unattended)
        return 0;
    Diagnostics::logLine(QStringLiteral("Another updater of this installation is running"));
    return UnattendedRun::OtherInstanceRunning;
}

// A missing translation leaves the English texts, so the results of load()
// do not matter; both translators are installed either way.
void installTranslators(const QString& programDir, QTranslator* updater, QTranslator* qt)
{
    const QString locale = QLocale::system().name();
    updater->load(programDir + QStringLiteral("/translations/update_") + locale);
    qt->load(programDir + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(updater);
    QCoreApplication::installTranslator(qt);
}

// The configuration's question after a failed version query.
bool askToRetry(const QString& failure)
{
    return QMessageBox::critical(nullptr, QObject::tr("Error"), failure,
                                 QMessageBox::Abort | QMessageBox::Retry)
           != QMessageBox::Abort;
}

int configurationFailed(const Configuration& config)
{
    qDebug() << "Failed to parse command line options, aborting";
    return config.serviceUnverified() ? UnattendedRun::ServiceNotVerified
                                      : UnattendedRun::ConfigurationFailed;
}

// Shows the window and starts the session after a pause; unattended, at once
// and without a window, but never over an installation whose interrupted
// update could not be finished or undone (its report is in the log).
int runSession(QApplication& app, MainWindow& window, bool unattended, bool recoverySound)
{
    if (unattended && !recoverySound) {
        Diagnostics::logLine(QObject::tr("The update was not started"));
        return UnattendedRun::UpdateFailed;
    }
    if (unattended) {
        QTimer::singleShot(0, &window, &MainWindow::onStartUpdate);
        return app.exec();
    }
    QTimer::singleShot(kSessionStartDelayMs, &window, &MainWindow::onStartUpdate);
    window.show();
    window.updateNews();
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    if (CommandLineHelp::requested(argc, argv))
        return printHelp();
    Diagnostics::install();
    SessionDirectory::keepInheritedToSelf();
    if (isOnlyArgument(argc, argv, "--recover"))
        return recoverOnly(argc, argv);
    if (isOnlyArgument(argc, argv, "--key-fingerprints"))
        return printKeyFingerprints();

    const bool unattended = UnattendedRun::requested(argc, argv);
    if (unattended) {
        UnattendedRun::confirm();
        UnattendedRun::useOffscreenIfHeadless();
    }
    QApplication app(argc, argv);
    const QString programDir = QCoreApplication::applicationDirPath();
    qDebug() << "Voxaro updater started";

    // Step two runs from its session directory: no other updater's clean-up
    // may take it away, from the first moment on.
    SessionDirectory ownSession;
    if (SessionDirectory::isSessionDirectory(programDir))
        ownSession.lock(programDir, false);

    // Before anything else may look at or change the installation.
    QStringList recoveryReport;
    const bool recoverySound = StartupCleanup::recoverInstallations(programDir, &recoveryReport);
    StartupCleanup::removeLeftovers(programDir);

    if (SingleInstanceChecker::notifyRunningInstance(QStringLiteral("#")))
        return otherInstanceRunning(unattended);

    QTranslator updaterTranslator;
    QTranslator qtTranslator;
    installTranslators(programDir, &updaterTranslator, &qtTranslator);

    Configuration config;
    config.setRetryPrompt(askToRetry);
    MainWindow window(&config);
    window.showRecoveryReport(recoveryReport, !recoverySound);
    if (!config.parseCommandLineOptions())
        return configurationFailed(config);
    window.updateVersionLabel();
    return runSession(app, window, unattended, recoverySound);
}
