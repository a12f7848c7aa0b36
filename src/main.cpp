#include "configuration.h"
#include "diagnostics.h"
#include "mainwindow.h"
#include "singleinstancechecker.h"
#include "unattendedrun.h"
#include "updateengine.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

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

} // namespace

int main(int argc, char* argv[])
{
    Diagnostics::install();
    const bool unattended = UnattendedRun::requested(argc, argv);
    // A script or a service may run without any display; the window stays
    // hidden anyway.
    if (unattended && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QString programDir = QCoreApplication::applicationDirPath();
    qDebug() << "Voxaro updater started";

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
    MainWindow window(&config);
    if (!config.parseCommandLineOptions()) {
        qDebug() << "Failed ot parse command line options, aborting";
        return UnattendedRun::ConfigurationFailed;
    }

    window.updateVersionLabel();
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
