#pragma once
// What start-up does before anything else may look at or change an
// installation: it finishes or undoes an update that died while installing
// (InstallJournal::recover) and takes group and world write from the
// programs, in this updater's own installation and in the one its session
// record names (step two runs from the session directory); then it removes
// what earlier updates left in the program directory: the "_old_" copies of
// a self-replacement, the libraries of updaters before the Qt 5 port and
// the emptied "old" folder. "--recover" runs the first part alone.
//
// Failures to remove a leftover are ignored: it is tried again next time.

#include <QString>
#include <QStringList>

namespace StartupCleanup {

// Recovers the installations of `programDir` and of the session record.
// True unless a journal had to be refused or could not be undone
// completely; the lines for the user are appended to `report`.
bool recoverInstallations(const QString& programDir, QStringList* report);
// Removes the leftovers of earlier updates from `programDir`.
void removeLeftovers(const QString& programDir);
// Removes the "_old_" copies that an earlier self-replacement left in `dir`.
void removeOldFiles(const QString& dir);
// Removes the Qt 4 libraries that updaters before the Qt 5 port shipped.
void removeQt4Files(const QString& dir);

} // namespace StartupCleanup
