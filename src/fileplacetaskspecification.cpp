#include "fileplacetaskspecification.h"

#include "installedfile.h"
#include "installjournal.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstdio>
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
    // Whole and on disk before it can be seen under the installed name.
    if (InstalledFile::isExecutable(m_Path))
        InstalledFile::makeExecutable(m_NewFile);
    if (!InstallJournal::syncPath(m_NewFile)) {
        emit message(QObject::tr("Could not install '%1': the new file cannot be written to disk").arg(m_Path));
        return false;
    }
    if (!announce(record))
        return false;
    if (replacing && !keepOriginal()) {
        emit message(QObject::tr("Could not keep the original of '%1' in '%2'").arg(m_Path, m_KeptPath));
        return false;
    }
    if (::rename(QFile::encodeName(m_NewFile).constData(), QFile::encodeName(m_Path).constData()) != 0) {
        emit message(QObject::tr("Could not install '%1'").arg(m_Path));
        return false;
    }
    qDebug() << "Placed" << m_Path << (replacing ? m_KeptPath : QStringLiteral("(new)"));
    madeDurable(m_Path);
    addRollbackData(record);
    return true;
}

bool FilePlaceTaskSpecification::keepOriginal()
{
    const QByteArray from = QFile::encodeName(m_Path);
    const QByteArray to = QFile::encodeName(m_KeptPath);
    ::unlink(to.constData());
    if (::link(from.constData(), to.constData()) != 0) {
        // A file system without hard links: a flushed copy keeps it as well.
        if (!QFile::copy(m_Path, m_KeptPath) || !InstallJournal::syncPath(m_KeptPath))
            return false;
    }
    madeDurable(m_KeptPath);
    return true;
}
