#include "commandlinehelp.h"
#include "configuration.h"
#include "diagnostics.h"
#include "filemodes.h"
#include "installjournal.h"
#include "mainwindow.h"
#include "sessiondirectory.h"
#include "singleinstancechecker.h"
#include "trustedkeys.h"
#include "unattendedrun.h"
#include "updateengine.h"
#include "updateinidata.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <QTranslator>

#include <cstdio>

namespace {

const int kSessionStartDelayMs = 2000;

// Leftovers of earlier updates in the program directory: files replaced by a
// self-update, libraries of old Qt versions, and the emptied "old" folder.
void removeLeftovers(const QString& programDir)
{
    UpdateEngine::removeQt4Files(programDir);
    UpdateEngine::removeOldFiles(programDir);
    for (const char* sub : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        UpdateEngine::removeOldFiles(programDir + QLatin1String(sub));
    QDir(programDir).rmdir(QStringLiteral("old"));
    qDebug() << "Removing old files done";
}

// Undoes what an update that died while installing left half done, in this
// updater's own installation and in the one its session record names (step
// two runs from the temporary directory). True unless a journal had to be
// refused or could not be undone completely; its lines land in `report`.
// Then no other user may change what runs: an older updater left the
// executable set writable by everyone.
bool recoverInstallations(const QString& programDir, QStringList* report)
{
    QStringList dirs{programDir};
    QString recorded;
    if (UpdateIniData::get(nullptr, nullptr, nullptr, &recorded) && !recorded.isEmpty())
        dirs << recorded;
    bool sound = true;
    for (const QString& dir : qAsConst(dirs)) {
        const InstallJournal::Recovery result = InstallJournal::recover(dir, report);
        sound = sound && result != InstallJournal::REFUSED && result != InstallJournal::INCOMPLETE;
    }
    for (const QString& dir : qAsConst(dirs))
        *report << FileModes::tightenExecutables(dir, QCoreApplication::applicationFilePath());
    return sound;
}

// The configuration's question after a failed version query.
bool askToRetry(const QString& failure)
{
    return QMessageBox::critical(nullptr, QObject::tr("Error"), failure,
                                 QMessageBox::Abort | QMessageBox::Retry)
           != QMessageBox::Abort;
}

} // namespace

int main(int argc, char* argv[])
{
    if (CommandLineHelp::requested(argc, argv)) {
        std::fputs(CommandLineHelp::text(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    Diagnostics::install();
    SessionDirectory::keepInheritedToSelf();

    // "--recover", the installation's run script calls it before the client:
    // finish or undo an interrupted update, then exit. No window, no display.
    if (argc == 2 && qstrcmp(argv[1], "--recover") == 0) {
        QCoreApplication app(argc, argv);
        QStringList report;
        const bool sound = recoverInstallations(QCoreApplication::applicationDirPath(), &report);
        for (const QString& line : qAsConst(report))
            std::fprintf(stderr, "update: %s\n", line.toLocal8Bit().constData());
        return sound ? 0 : 1;
    }

    // "--key-fingerprints": the ids of the keys this build trusts, for checking
    // a build before it ships. No window, no display.
    if (argc == 2 && qstrcmp(argv[1], "--key-fingerprints") == 0) {
        for (const QString& line : TrustedKeys::fingerprintLines())
            std::printf("%s\n", line.toLatin1().constData());
        return 0;
    }

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
    const bool recoverySound = recoverInstallations(programDir, &recoveryReport);

    removeLeftovers(programDir);

    if (SingleInstanceChecker::notifyRunningInstance(QStringLiteral("#"))) {
        qDebug() << "Detected other instance running, aborting";
        if (unattended)
            Diagnostics::logLine(QStringLiteral("Another updater of this installation is running"));
        return unattended ? UnattendedRun::OtherInstanceRunning : 0;
    }

    // A missing translation leaves the English texts, so the results of load()
    // do not matter; both translators are installed either way.
    const QString locale = QLocale::system().name();
    QTranslator updaterTranslator;
    QTranslator qtTranslator;
    updaterTranslator.load(programDir + QStringLiteral("/translations/update_") + locale);
    qtTranslator.load(programDir + QStringLiteral("/translations/qt_") + locale);
    QCoreApplication::installTranslator(&updaterTranslator);
    QCoreApplication::installTranslator(&qtTranslator);

    Configuration config;
    config.setRetryPrompt(askToRetry);
    MainWindow window(&config);
    window.showRecoveryReport(recoveryReport, !recoverySound);
    if (!config.parseCommandLineOptions()) {
        qDebug() << "Failed ot parse command line options, aborting";
        return config.serviceUnverified() ? UnattendedRun::ServiceNotVerified
                                          : UnattendedRun::ConfigurationFailed;
    }

    window.updateVersionLabel();
    if (unattended && !recoverySound) {
        // The report is in the log already. No session over an installation
        // whose interrupted update could not be finished or undone.
        Diagnostics::logLine(QObject::tr("The update was not started"));
        return UnattendedRun::UpdateFailed;
    }
    if (unattended) {
        // Nobody watches: no window, no news ticker, no pause before the session.
        QTimer::singleShot(0, &window, &MainWindow::onStartUpdate);
        return app.exec();
    }
    QTimer::singleShot(kSessionStartDelayMs, &window, &MainWindow::onStartUpdate);
    window.show();
    window.updateNews();
    return app.exec();
}
