#pragma once
// Starts the program that follows a successful update, detached so that it
// outlives the updater: the new updater in the temporary directory after
// step one, the client's run script after step two. Failures are only
// logged; the window closes either way. An unattended step one instead runs
// the new updater attached (runClientUpdater) and waits for its end.

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

class QObject;
class QProcess;

namespace ProcessTools {

// The installation's "vx3client_runscript.sh", run in `installDir`.
bool startVx3Client(const QString& installDir);
// `dir` + "/update" with `arguments`, run in `dir`; nothing when missing.
bool startClientUpdater(const QString& dir, const QStringList& arguments);
// The same program with `environment`, started as a child process of
// `parent` that shares the updater's output channels; null when it is
// missing or does not start.
QProcess* runClientUpdater(const QString& dir, const QStringList& arguments,
                           const QProcessEnvironment& environment, QObject* parent);

} // namespace ProcessTools
