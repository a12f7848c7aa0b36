#pragma once
// The permission bits of installed files. An update puts a new file in place
// with a rename, so the bits are the new file's, not the old one's; they are
// chosen here:
// - a file that replaces another keeps the replaced file's bits;
// - a new file gets the bits of any new file of this user (0666 less the
//   umask);
// - a program (ELF or "#!" content, or a name of the executable set) may also
//   be run by everyone who may read it;
// and never group or world write: a file of the installation that another
// user may change is a file that runs that user's code. Set-id and sticky
// bits are dropped.

#include <QString>
#include <QStringList>

#include <sys/types.h>

class FileModes final
{
public:
    // The bits `newFile` gets when it is put in place of `installedPath`;
    // `replacedMode` is the st_mode of the file it replaces, or -1 when it
    // is new.
    static mode_t installedMode(const QString& newFile, const QString& installedPath, int replacedMode);
    // True for the client's programs and scripts, the updater, and shared
    // libraries (complete suffix "so", "so.4" or "so.5"): the executable set.
    static bool isExecutable(const QString& path);
    // Gives an installed program or library its permissions: everybody may
    // read and run it, only its owner may change it.
    static bool makeExecutable(const QString& path);
    // The file starts with an ELF header or "#!".
    static bool isProgram(const QString& path);
    // This process's umask, read without changing it (other threads create
    // files meanwhile).
    static mode_t umask();
    // Removes group and world write from `path` (never through a symbolic
    // link). True when the bits changed; `error` gets the reason of a failure.
    static bool removeOthersWrite(const QString& path, QString* error);
    // Removes group and world write from the executable set below `dir`
    // (the client's programs and scripts, the updater, shared libraries;
    // symbolic links and the update journal's directory are left alone),
    // and from `program`, the running updater; returns one line for each
    // file changed or that could not be changed.
    static QStringList tightenExecutables(const QString& dir, const QString& program);
};
