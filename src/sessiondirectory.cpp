#include "sessiondirectory.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kNamePattern[] = "^voxaro_temp_[0-9]+$";
// Where unattended step one waits for step two's confirmation: a temporary
// directory with six random letters or digits.
const char kConfirmationPattern[] = "^voxaro_confirm_[A-Za-z0-9]{6}$";
// An updater without locks changes its directory at least this often while
// its session runs: every download and every unpacked file lands there.
const qint64 kQuietSeconds = 3600;

int openDirectory(const QString& path, bool inheritable)
{
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | (inheritable ? 0 : O_CLOEXEC);
    return ::open(QFile::encodeName(path).constData(), flags);
}

// The open directory is still the one of that name: a removal between the
// open and the lock leaves a descriptor of a directory that has no name.
bool stillNamed(int fd, const QString& path)
{
    struct stat held;
    struct stat named;
    if (::fstat(fd, &held) != 0 || held.st_nlink == 0)
        return false;
    if (::lstat(QFile::encodeName(path).constData(), &named) != 0)
        return false;
    return held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool changedSince(const QString& path, time_t since)
{
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    if (info.st_mtime >= since)
        return true;
    if (!S_ISDIR(info.st_mode))
        return false;
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& name : names) {
        if (changedSince(path + QLatin1Char('/') + name, since))
            return true;
    }
    return false;
}

bool locksUnsupported(int error)
{
    return error == ENOLCK || error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

} // namespace

SessionDirectory::~SessionDirectory()
{
    unlock();
}

bool SessionDirectory::lock(const QString& path, bool inheritable)
{
    unlock();
    const int fd = openDirectory(path, inheritable);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (!locksUnsupported(error))
            return false;
        qDebug() << "No locks for session directory" << path;
        return QFileInfo(path).isDir();
    }
    if (!stillNamed(fd, path)) {
        ::close(fd);
        return false;
    }
    m_Fd = fd;
    return true;
}

bool SessionDirectory::isLocked() const
{
    return m_Fd >= 0;
}

void SessionDirectory::unlock()
{
    if (m_Fd >= 0)
        ::close(m_Fd);
    m_Fd = -1;
}

bool SessionDirectory::isSessionDirectory(const QString& path)
{
    static const QRegularExpression name(QString::fromLatin1(kNamePattern));
    return name.match(QFileInfo(path).fileName()).hasMatch() && isOwnDirectory(path);
}

bool SessionDirectory::isConfirmationDirectory(const QString& path)
{
    static const QRegularExpression name(QString::fromLatin1(kConfirmationPattern));
    return name.match(QFileInfo(path).fileName()).hasMatch() && isOwnDirectory(path);
}

bool SessionDirectory::isOwnDirectory(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
           && info.st_uid == ::geteuid();
}

bool SessionDirectory::inUse(const QString& path)
{
    const int fd = openDirectory(path, false);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

QStringList SessionDirectory::removeStale(const QString& parent, const QString& keep)
{
    QStringList removed;
    QDir dir(parent);
    const QString kept = keep.isEmpty() ? QString() : QFileInfo(keep).absoluteFilePath();
    const QStringList names =
        dir.entryList({QStringLiteral("voxaro_temp_*"), QStringLiteral("voxaro_confirm_*")},
                      QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const QString path = dir.absoluteFilePath(name);
        if (path == kept || !(isSessionDirectory(path) || isConfirmationDirectory(path))
            || changedSince(path, ::time(nullptr) - kQuietSeconds))
            continue;
        const int fd = openDirectory(path, false);
        if (fd < 0)
            continue;
        // Held exclusively while emptied, so no session takes it up halfway.
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && stillNamed(fd, path)) {
            removeContents(path);
            if (dir.rmdir(name))
                removed << path;
        }
        ::close(fd);
    }
    return removed;
}

void SessionDirectory::removeContents(const QString& path)
{
    QDir dir(path);
    if (!dir.exists())
        return;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        // A link goes as a link; what it points to is never touched.
        if (entry.isDir() && !entry.isSymLink()) {
            removeContents(entry.absoluteFilePath());
            dir.rmdir(entry.fileName());
        } else {
            QFile::remove(entry.absoluteFilePath());
        }
    }
}

void SessionDirectory::keepInheritedToSelf()
{
    const QStringList open = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
    for (const QString& name : open) {
        bool number = false;
        const int fd = name.toInt(&number);
        if (number && fd > 2)
            ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
}
