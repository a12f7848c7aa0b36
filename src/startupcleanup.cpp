#include "startupcleanup.h"

#include "filemodes.h"
#include "installjournal.h"
#include "updateinidata.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#include <cstddef>

namespace {

const char* const kQt4Libraries[] = {"libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4"};

const char* const kReplacedFiles[] = {
    "update",         "libQtCore.so.4",  "libQtGui.so.4",  "libQtNetwork.so.4",
    "libQtSql.so.4",  "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5",
    "libQt5Sql.so.5", "libqgif.so",      "libqjpeg.so",    "libqtaccessiblewidgets.so",
    "libsqlite.so",
};

// Removes `prefix` followed by each of `names` from `dir`, where present;
// `label` heads the diagnostic line of each.
template <std::size_t N>
void removeNamed(const QString& dir, const char* prefix, const char* const (&names)[N], const char* label)
{
    const QDir directory(dir);
    for (const char* name : names) {
        const QString path = directory.filePath(QLatin1String(prefix) + QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << label << path;
            QFile::remove(path);
        }
    }
}

} // namespace

namespace StartupCleanup {

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
    // Then no other user may change what runs: an older updater left the
    // executable set writable by everyone.
    for (const QString& dir : qAsConst(dirs))
        *report << FileModes::tightenExecutables(dir, QCoreApplication::applicationFilePath());
    return sound;
}

void removeLeftovers(const QString& programDir)
{
    removeQt4Files(programDir);
    removeOldFiles(programDir);
    for (const char* sub : {"/old", "/imageformats", "/accessible", "/sqldrivers"})
        removeOldFiles(programDir + QLatin1String(sub));
    QDir(programDir).rmdir(QStringLiteral("old"));
    qDebug() << "Removing old files done";
}

void removeOldFiles(const QString& dir)
{
    removeNamed(dir, "_old_", kReplacedFiles, "Remove old file:");
}

void removeQt4Files(const QString& dir)
{
    removeNamed(dir, "", kQt4Libraries, "Remove Qt4 file:");
}

} // namespace StartupCleanup
