#include "filemodes.h"

#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const mode_t kOthersWrite = S_IWGRP | S_IWOTH;
const mode_t kDefaultUmask = 022;
// The executable set: the client's programs and scripts, the updater, and
// shared libraries.
const char* const kExecutableNames[] = {"vx3client_linux_x86",    "vx3client_linux_amd64",
                                        "vx3client_runscript.sh", "update",
                                        "error_report",           "package_inst"};
const char* const kLibrarySuffixes[] = {"so", "so.4", "so.5"};
// 0x7f, then "ELF".
const char kElfMagic[] = "\x7f\x45LF";

mode_t readUmask()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return kDefaultUmask;
    while (!status.atEnd()) {
        const QByteArray line = status.readLine();
        if (line.startsWith("Umask:")) {
            bool valid = false;
            const uint mask = line.mid(6).trimmed().toUInt(&valid, 8);
            return valid ? mode_t(mask & 0777) : kDefaultUmask;
        }
    }
    return kDefaultUmask;
}

} // namespace

mode_t FileModes::umask()
{
    static const mode_t mask = readUmask();
    return mask;
}

bool FileModes::isExecutable(const QString& path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString suffix = info.completeSuffix();
    for (const char* executable : kExecutableNames)
        if (name == QLatin1String(executable))
            return true;
    for (const char* library : kLibrarySuffixes)
        if (suffix == QLatin1String(library))
            return true;
    return false;
}

bool FileModes::makeExecutable(const QString& path)
{
    // Not writable by others: a program another local user may change is a
    // program that runs their code.
    return QFile::setPermissions(
        path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser | QFile::WriteUser
                  | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

bool FileModes::isProgram(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(4);
    return head == kElfMagic || head.startsWith("#!");
}

mode_t FileModes::installedMode(const QString& newFile, const QString& installedPath, int replacedMode)
{
    mode_t mode = replacedMode >= 0 ? mode_t(replacedMode) & 0777 : 0666 & ~umask();
    if (isExecutable(installedPath) || isProgram(newFile))
        mode |= (mode & (S_IRUSR | S_IRGRP | S_IROTH)) >> 2;
    return mode & ~kOthersWrite;
}

bool FileModes::removeOthersWrite(const QString& path, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    bool changed = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & kOthersWrite) != 0) {
        if (::fchmod(fd, st.st_mode & 07777 & ~kOthersWrite) == 0)
            changed = true;
        else if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
    }
    ::close(fd);
    return changed;
}

QStringList FileModes::tightenExecutables(const QString& dir, const QString& program)
{
    QStringList candidates{program};
    QStringList pending{dir};
    while (!pending.isEmpty()) {
        QDirIterator entries(pending.takeLast(),
                             QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (entries.hasNext()) {
            const QString path = entries.next();
            const QFileInfo info = entries.fileInfo();
            if (info.isSymLink())
                continue;
            if (info.isDir()) {
                if (info.fileName() != QLatin1String(".vx3update"))
                    pending << path;
            } else if (isExecutable(path)) {
                candidates << path;
            }
        }
    }
    QStringList lines;
    QSet<QString> seen;
    for (const QString& path : qAsConst(candidates)) {
        const QString canonical = QFileInfo(path).absoluteFilePath();
        if (seen.contains(canonical))
            continue;
        seen.insert(canonical);
        QString error;
        if (removeOthersWrite(path, &error)) {
            qDebug() << "Removed group and world write" << path;
            lines << QObject::tr("Removed write permission for other users from %1").arg(path);
        } else if (!error.isEmpty()) {
            lines << QObject::tr("Could not remove write permission for other users from %1: %2")
                         .arg(path, error);
        }
    }
    return lines;
}
