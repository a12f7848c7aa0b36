#include "durablefiles.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace DurableFiles {

bool syncPath(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

bool syncParent(const QString& path)
{
    return syncPath(QFileInfo(path).absolutePath());
}

bool sameFile(const QString& a, const QString& b)
{
    struct stat sa;
    struct stat sb;
    return ::lstat(QFile::encodeName(a).constData(), &sa) == 0
           && ::lstat(QFile::encodeName(b).constData(), &sb) == 0 && sa.st_dev == sb.st_dev
           && sa.st_ino == sb.st_ino;
}

} // namespace DurableFiles
