#include "filedeletetaskspecification.h"

#include "durablefiles.h"
#include "installjournal.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool strict, const QString& path, bool recursive,
                                                         QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, nullptr, parent, weight)
    , m_Strict(strict)
    , m_Recursive(recursive)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    bool removed = false;
    const QFileInfo info(m_Path);
    // A link to a directory is removed as a link: what it points at is not ours.
    if (!info.isDir() || info.isSymLink()) {
        removed = remove(m_Path);
        qDebug() << "Deleted file" << m_Path << removed;
    } else if (!m_Recursive) {
        removed = removeEmptyDirectory();
        qDebug() << "Deleted directory" << m_Path << removed;
    } else {
        removed = journalled() ? moveAside(m_Path) : QDir(m_Path).removeRecursively();
        qDebug() << "Recursively deleted directory" << m_Path << removed;
    }

    if (!m_Strict || removed)
        return true;
    emit message(QObject::tr("Could not delete '%1'").arg(m_Path));
    return false;
}

void FileDeleteTaskSpecification::setBoundary(const QString& dir)
{
    m_Boundary = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
}

bool FileDeleteTaskSpecification::removeEmptyDirectory()
{
    QString dir = QDir::cleanPath(QFileInfo(m_Path).absoluteFilePath());
    if (!remove(dir))
        return false;
    if (m_Boundary.isEmpty())
        return true;
    const QString inside = m_Boundary + QLatin1Char('/');
    for (;;) {
        dir = QFileInfo(dir).path();
        if (!dir.startsWith(inside) || !remove(dir))
            return true;
    }
}

void FileDeleteTaskSpecification::setJournal(RollbackDataList* journal)
{
    m_RollbackList = journal;
}

bool FileDeleteTaskSpecification::remove(const QString& path)
{
    const QFileInfo info(path);
    if (!info.isDir() || info.isSymLink()) {
        if (!journalled())
            return QFile::remove(path);
        return (info.exists() || info.isSymLink()) && moveAside(path);
    }
    // Only an empty directory: one that holds anything is left alone.
    if (!journalled())
        return QDir().rmdir(path);
    return QDir(path).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)
           && moveAside(path);
}

bool FileDeleteTaskSpecification::moveAside(const QString& path)
{
    QString error;
    const QString kept = m_RollbackList->disk()->newKeptPath(&error);
    if (kept.isEmpty()) {
        emit message(error);
        return false;
    }
    const RollbackData record(RollbackData::FILE_RENAME, path, kept);
    if (!announce(record))
        return false;
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(kept).constData()) != 0)
        return false;
    DurableFiles::syncParent(kept);
    madeDurable(path);
    addRollbackData(record);
    return true;
}
