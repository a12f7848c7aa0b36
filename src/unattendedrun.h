#pragma once
// The command-line option "--unattended", for updates run by scripts,
// deployment tools and tests, and the exit statuses such a run ends with.
//
// An unattended run shows no message box (box texts go to the log and the
// diagnostics file), keeps its window hidden, starts its session at once and
// ends with one status for the whole update: step one passes the option on to
// the new updater, waits for it and ends with its status. The option may stand
// anywhere on the command line; it is removed before the positional arguments
// are read.
//
// Updaters older than the option read it as a news text or ignore it and run
// with their window. So step one asks the new updater, through the
// environment, to confirm by creating a file; one that does not confirm in
// time is not waited for (StepTwoRun). Nor does step one hand down the
// offscreen platform it chose for itself: an older updater without a display
// then ends at once instead of waiting invisibly for a click.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class UnattendedRun final
{
public:
    UnattendedRun() = delete;

    enum ExitStatus {
        // Both steps finished; the client's run script has been started.
        Updated = 0,
        // The command line was rejected, or the configuration failed (for
        // example no temporary directory).
        ConfigurationFailed = 1,
        // The update engine reported a fatal error (an invalid proxy).
        EngineFailed = 2,
        // A session ended in failure; the log says why.
        UpdateFailed = 3,
        // Step one succeeded, but the new updater could not be started or did
        // not end normally.
        StepTwoNotRun = 4,
        // Another updater of this installation and user is running.
        OtherInstanceRunning = 5,
        // The installation has taken signed version answers before, and this
        // one is unsigned, wrongly signed, expired or older than the last;
        // nothing was installed.
        ServiceNotVerified = 6,
    };

    static QString option();
    static bool requested(const QStringList& arguments);
    // For the entry function, before QApplication exists.
    static bool requested(int argc, const char* const* argv);
    static QStringList withoutOption(QStringList arguments);

    // Before QApplication exists: without any display, Qt's offscreen platform.
    static void useOffscreenIfHeadless();
    // Step two: creates the confirmation file step one asked for, if any.
    static void confirm();
    // Step one: the environment for the new updater, asking it to confirm by
    // creating `confirmationFile`.
    static QProcessEnvironment stepTwoEnvironment(const QString& confirmationFile);
    // How long step one waits for the confirmation: 60 s, or the value of
    // "VX3_UNATTENDED_CONFIRM_MS".
    static int confirmationTimeoutMs();
};
