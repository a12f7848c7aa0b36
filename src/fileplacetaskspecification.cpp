#include "fileplacetaskspecification.h"

#include "durablefiles.h"
#include "filemodes.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

FilePlaceTaskSpecification::FilePlaceTaskSpecification(const QString& newFile, const QString& installedPath,
                                                       const QString& keptPath, RollbackDataList* rollbackList,
                                                       QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(installedPath, rollbackList, parent, weight)
    , m_NewFile(newFile)
    , m_KeptPath(keptPath)
{
}

bool FilePlaceTaskSpecification::doOp()
{
    struct stat st;
    const bool replacing = ::lstat(QFile::encodeName(m_Path).constData(), &st) == 0;
    const RollbackData record = replacing ? RollbackData(RollbackData::FILE_REPLACE, m_KeptPath, m_Path)
                                          : RollbackData(RollbackData::FILE_CREATE, m_Path);
    // A rename takes the new file's bits along: it gets the ones users
    // expect of the installed file before anyone can see it there.
    if (!giveInstalledMode(replacing ? originalMode(st) : -1))
        return false;
    // Whole and on disk before it can be seen under the installed name.
    if (!DurableFiles::syncPath(m_NewFile)) {
        emit message(QObject::tr("Could not install '%1': %2").arg(m_Path, reason(errno)));
        return false;
    }
    if (!announce(record))
        return false;
    if (replacing && !keepOriginal()) {
        emit message(QObject::tr("Could not keep the original of '%1': %2").arg(m_Path, reason(errno)));
        return false;
    }
    if (::rename(QFile::encodeName(m_NewFile).constData(), QFile::encodeName(m_Path).constData()) != 0) {
        emit message(QObject::tr("Could not install '%1': %2").arg(m_Path, reason(errno)));
        return false;
    }
    qDebug() << "Placed" << m_Path << (replacing ? m_KeptPath : QStringLiteral("(new)"));
    madeDurable(m_Path);
    addRollbackData(record);
    return true;
}

QString FilePlaceTaskSpecification::reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

int FilePlaceTaskSpecification::originalMode(const struct stat& st) const
{
    if (!S_ISLNK(st.st_mode))
        return int(st.st_mode);
    // A link is replaced by a file: the file it pointed to had the bits.
    struct stat target;
    return ::stat(QFile::encodeName(m_Path).constData(), &target) == 0 ? int(target.st_mode) : -1;
}

bool FilePlaceTaskSpecification::giveInstalledMode(int replacedMode)
{
    const mode_t mode = FileModes::installedMode(m_NewFile, m_Path, replacedMode);
    if (::chmod(QFile::encodeName(m_NewFile).constData(), mode) == 0)
        return true;
    emit message(QObject::tr("Could not install '%1': %2").arg(m_Path, reason(errno)));
    return false;
}

bool FilePlaceTaskSpecification::keepOriginal()
{
    const QByteArray from = QFile::encodeName(m_Path);
    const QByteArray to = QFile::encodeName(m_KeptPath);
    ::unlink(to.constData());
    if (::link(from.constData(), to.constData()) != 0) {
        // A file system without hard links: a flushed copy keeps it as well.
        if (!QFile::copy(m_Path, m_KeptPath) || !DurableFiles::syncPath(m_KeptPath))
            return false;
    }
    madeDurable(m_KeptPath);
    return true;
}
