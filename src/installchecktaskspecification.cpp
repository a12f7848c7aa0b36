#include "installchecktaskspecification.h"

#include "configuration.h"
#include "downloadreplacelists.h"
#include "installedfile.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

struct Room
{
    QString dir;
    dev_t device = 0;
    quint64 needed = 0;
};

// The nearest directory of `path` (itself or a parent) that exists.
QString existingDirectory(QString path)
{
    while (!QFileInfo(path).isDir() && path != QDir::rootPath() && !path.isEmpty())
        path = QFileInfo(path).absolutePath();
    return path;
}

QString sizeText(quint64 bytes)
{
    return QLocale().formattedDataSize(qint64(bytes), 1);
}

} // namespace

InstallCheckTaskSpecification::InstallCheckTaskSpecification(Configuration* config,
                                                             const DownloadReplaceLists* lists,
                                                             QObject* parent, qreal weight)
    : TaskSpecification(parent, weight)
    , m_Config(config)
    , m_Lists(lists)
{
}

void InstallCheckTaskSpecification::execute()
{
    m_TaskState = TASK_RUNNING;
    const bool sound = m_Lists ? targetsWritable() && enoughRoom() : installationWritable();
    if (sound)
        setFinished();
    else
        setFailed();
}

QString InstallCheckTaskSpecification::whyNotWritable(const QString& dir)
{
    if (::faccessat(AT_FDCWD, QFile::encodeName(dir).constData(), W_OK | X_OK, AT_EACCESS) == 0)
        return QString();
    return QString::fromLocal8Bit(std::strerror(errno));
}

bool InstallCheckTaskSpecification::installationWritable()
{
    const QString dir = m_Config->installDir();
    const QString reason = whyNotWritable(dir);
    if (reason.isEmpty())
        return true;
    emit message(QObject::tr("The installation in '%1' cannot be updated by this user: %2").arg(dir, reason));
    return false;
}

bool InstallCheckTaskSpecification::targetsWritable()
{
    if (m_Config->clientUpdate() == 0)
        return true; // the first step writes only into the session directory
    QStringList checked;
    for (const ReplaceItem& item : m_Lists->replaces) {
        const QString dir =
            existingDirectory(QFileInfo(InstalledFile(item, *m_Config).installedPath()).absolutePath());
        if (checked.contains(dir))
            continue;
        checked << dir;
        const QString reason = whyNotWritable(dir);
        if (!reason.isEmpty()) {
            emit message(
                QObject::tr("The installation in '%1' cannot be updated by this user: %2").arg(dir, reason));
            return false;
        }
    }
    return true;
}

bool InstallCheckTaskSpecification::enoughRoom()
{
    Room temp{m_Config->tempDir()};
    QHash<QString, quint64> downloadSizes;
    for (const DownloadItem& item : m_Lists->downloads) {
        downloadSizes.insert(item.name, item.size);
        const QFileInfo present(InstalledFile::tempPath(*m_Config, item.name));
        if (!present.isFile() || quint64(present.size()) != item.size)
            temp.needed += item.size;
    }
    Room install{m_Config->installDir()};
    const bool clientStep = m_Config->clientUpdate() != 0;
    for (const ReplaceItem& item : m_Lists->replaces) {
        // A copied file is as large as its download, which the list sizes.
        const quint64 size = item.size > 0 ? item.size : downloadSizes.value(item.name);
        if (clientStep)
            install.needed += size;
        else if (!item.installName.isEmpty())
            temp.needed += size; // unpacked or patched beside the downloads
    }

    QList<Room*> rooms{&temp};
    struct stat info;
    for (Room* room : {&temp, &install})
        room->device = ::stat(QFile::encodeName(room->dir).constData(), &info) == 0 ? info.st_dev : 0;
    if (install.needed > 0) {
        if (install.device == temp.device)
            temp.needed += install.needed;
        else
            rooms << &install;
    }
    for (const Room* room : qAsConst(rooms)) {
        struct statvfs fs;
        if (::statvfs(QFile::encodeName(room->dir).constData(), &fs) != 0)
            continue;
        const quint64 available = quint64(fs.f_bavail) * fs.f_frsize;
        qDebug() << "Space needed in" << room->dir << room->needed << "available" << available;
        if (room->needed > available) {
            emit message(QObject::tr("Not enough free space for the update in '%1': it needs %2, %3 are free")
                             .arg(room->dir, sizeText(room->needed), sizeText(available)));
            return false;
        }
    }
    return true;
}
