#include "bannercache.h"

#include <QDebug>
#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const qint64 kMaxUrlSize = 8192;

class FileDescriptor final
{
public:
    explicit FileDescriptor(int fd) : m_Fd(fd) {}
    ~FileDescriptor()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_Fd; }

private:
    int m_Fd;
};

// A descriptor is trusted only for a regular file of this user: another user
// may have created the name first, and a FIFO or device would block or feed
// endless data.
bool isOwnRegularFile(int fd, struct stat* info)
{
    if (::fstat(fd, info) != 0)
        return false;
    return S_ISREG(info->st_mode) && info->st_uid == ::geteuid();
}

QByteArray readOwnFile(const QString& path, qint64 maxSize)
{
    // O_NONBLOCK keeps a FIFO from stalling the open; O_NOFOLLOW refuses links.
    FileDescriptor fd(::open(QFile::encodeName(path).constData(),
                             O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0)
        return QByteArray();
    struct stat info;
    if (!isOwnRegularFile(fd.get(), &info)) {
        qDebug() << "Ignoring banner cache file that is not ours:" << path;
        return QByteArray();
    }
    if (info.st_size <= 0 || info.st_size > maxSize)
        return QByteArray();
    QByteArray data(static_cast<int>(info.st_size), Qt::Uninitialized);
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t got = ::read(fd.get(), data.data() + done, static_cast<size_t>(data.size() - done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += got;
    }
    data.truncate(static_cast<int>(done));
    return data;
}

bool writeOwnFile(const QString& path, const QByteArray& data)
{
    FileDescriptor fd(::open(QFile::encodeName(path).constData(),
                             O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.get() < 0)
        return false;
    struct stat info;
    // Truncate only after the check, so a file of someone else stays untouched.
    if (!isOwnRegularFile(fd.get(), &info) || ::ftruncate(fd.get(), 0) != 0)
        return false;
    qint64 done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd.get(), data.constData() + done, static_cast<size_t>(data.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

} // namespace

QString BannerCache::imagePath()
{
    return QDir::tempPath() + QStringLiteral("/voxaro_banner.jpg");
}

QString BannerCache::urlPath()
{
    return QDir::tempPath() + QStringLiteral("/voxaro_banner.txt");
}

bool BannerCache::read(QByteArray* image, QString* clickUrl)
{
    const QByteArray imageData = readOwnFile(imagePath(), kMaxImageSize);
    QByteArray urlData = QByteArray::fromPercentEncoding(readOwnFile(urlPath(), kMaxUrlSize));
    const int zero = urlData.indexOf('\0');
    if (zero >= 0)
        urlData.truncate(zero);
    const QString url = QString::fromUtf8(urlData);

    if (imageData.isEmpty() || url.isEmpty()) {
        image->clear();
        clickUrl->clear();
        return false;
    }
    *image = imageData;
    *clickUrl = url;
    return true;
}

bool BannerCache::write(const QByteArray& image, const QString& clickUrl)
{
    if (writeOwnFile(imagePath(), image)
        && writeOwnFile(urlPath(), clickUrl.toUtf8().toPercentEncoding()))
        return true;
    qDebug() << "Could not write the banner cache";
    remove();
    return false;
}

void BannerCache::remove()
{
    // unlink() removes a link itself, never its target; a file of another
    // user in the sticky temporary directory is refused by the system.
    for (const QString& path : {imagePath(), urlPath()}) {
        struct stat info;
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && info.st_uid == ::geteuid())
            ::unlink(QFile::encodeName(path).constData());
    }
}
