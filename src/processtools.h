#pragma once
// Starts the program that follows a successful update, detached so that it
// outlives the updater: the new updater in the temporary directory after
// step one, the client's run script after step two. Failures are only
// logged; the window closes either way.

#include <QString>
#include <QStringList>

class ProcessTools final
{
public:
    ProcessTools() = delete;

    // The installation's "vx3client_runscript.sh", run in `installDir`.
    static bool startVx3Client(const QString& installDir);
    // `dir` + "/update" with `arguments`, run in `dir`; nothing when missing.
    static bool startClientUpdater(const QString& dir, const QStringList& arguments);

private:
    static bool startVx3Client_linux(const QString& installDir);
    static bool startNewUpdater_linux(const QString& dir, const QStringList& arguments);
};
