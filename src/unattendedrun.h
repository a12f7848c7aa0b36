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
    };

    static QString option();
    static bool requested(const QStringList& arguments);
    // For the entry function, before QApplication exists.
    static bool requested(int argc, const char* const* argv);
    static QStringList withoutOption(QStringList arguments);
};
