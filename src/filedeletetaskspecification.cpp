#include "filedeletetaskspecification.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

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
        removed = QFile::remove(m_Path);
        qDebug() << "Deleted file" << m_Path << removed;
    } else if (!m_Recursive) {
        removed = removeEmptyDirectory();
        qDebug() << "Deleted directory" << m_Path << removed;
    } else {
        removed = QDir(m_Path).removeRecursively();
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
    if (!QDir().rmdir(dir))
        return false;
    if (m_Boundary.isEmpty())
        return true;
    const QString inside = m_Boundary + QLatin1Char('/');
    for (;;) {
        dir = QFileInfo(dir).path();
        if (!dir.startsWith(inside) || !QDir().rmdir(dir))
            return true;
    }
}
