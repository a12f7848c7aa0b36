#pragma once
// The temporary directories of update sessions ("voxaro_temp_" and a number in
// the system temporary directory) and who may remove them.
//
// A process that works in a session directory holds a shared lock on it
// (flock on the directory itself) while it runs. The kernel drops the lock
// with the process however it ends, killed or crashed, and a power cut
// leaves no lock at all. Step one's lock is inheritable and passes to the new
// updater it starts, so a session directory has an owner from its creation
// to the end of step two, also while step two is still starting.
//
// Unattended step one holds the directory in which it waits for step two's
// confirmation ("voxaro_confirm_" and six letters or digits) the same way,
// but only for itself.
//
// A directory nobody holds is left over from a session that died or was
// abandoned, or from a step one killed while it waited: removeStale()
// removes those, each under an exclusive lock so that no session can take
// it up meanwhile. Updaters built before the lock existed hold none, so a
// directory in which anything changed during the last hour counts as live
// too. It removes only real directories of that
// name owned by this user, never through a symbolic link. On file systems
// without flock nothing counts as stale and nothing is removed.

#include <QString>
#include <QStringList>

class SessionDirectory final
{
public:
    SessionDirectory() = default;
    ~SessionDirectory();
    SessionDirectory(const SessionDirectory&) = delete;
    SessionDirectory& operator=(const SessionDirectory&) = delete;

    // Takes the shared lock on `path` (dropping any held before). False only
    // when the directory is gone or being removed by another updater; where
    // locks are not supported the directory is used unlocked. `inheritable`:
    // the programs this process starts hold the lock too.
    bool lock(const QString& path, bool inheritable);
    bool isLocked() const;
    void unlock();

    // A real directory named "voxaro_temp_" and digits, owned by this user.
    static bool isSessionDirectory(const QString& path);
    // A real directory named "voxaro_confirm_" and six letters or digits,
    // owned by this user.
    static bool isConfirmationDirectory(const QString& path);
    // Some running process holds the lock on `path`.
    static bool inUse(const QString& path);
    // Removes the session and confirmation directories in `parent` that no
    // process holds and that have not changed for an hour, except `keep`;
    // returns the paths removed.
    static QStringList removeStale(const QString& parent, const QString& keep);
    // Empties `path` recursively (hidden files too; symbolic links are
    // removed as links, never followed); `path` itself stays.
    static void removeContents(const QString& path);
    // Makes the descriptors this process inherited (beyond the standard
    // three) close when it starts another program, so that a lock handed
    // down by step one stays with step two and never reaches the client.
    static void keepInheritedToSelf();

private:
    static bool isOwnDirectory(const QString& path);

    int m_Fd = -1;
};
