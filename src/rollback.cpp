#include "rollback.h"

#include "durablefiles.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include <unistd.h>

namespace {

// Puts the original kept at `kept` back at `path` with one rename of a fresh
// hard link, so the path never goes missing and the kept original stays until
// the journal ends: undoing twice does no harm.
bool restoreKept(const QString& kept, const QString& path)
{
    if (DurableFiles::sameFile(kept, path))
        return true;
    const QByteArray from = QFile::encodeName(kept);
    const QByteArray back = QFile::encodeName(kept + QStringLiteral(".back"));
    ::unlink(back.constData());
    if (::link(from.constData(), back.constData()) != 0)
        return false;
    if (::rename(back.constData(), QFile::encodeName(path).constData()) != 0) {
        ::unlink(back.constData());
        return false;
    }
    DurableFiles::syncParent(path);
    return true;
}

} // namespace

RollbackData::RollbackData(int op, const QString& from, const QString& to)
    : m_Path(to)
    , m_FormerPath(from)
    , m_Op(op)
{
    Q_ASSERT(op == FILE_RENAME || op == FILE_REPLACE);
}

RollbackData::RollbackData(int op, const QString& path)
    : m_Path(path)
    , m_Op(op)
{
    Q_ASSERT(op != FILE_RENAME && op != FILE_REPLACE);
}

int RollbackData::op() const
{
    return m_Op;
}

QString RollbackData::path() const
{
    return m_Path;
}

QString RollbackData::formerPath() const
{
    return m_FormerPath;
}

bool RollbackData::rollback(QObject* reporter) const
{
    switch (m_Op) {
    case FILE_RENAME:
        if (QFile::rename(m_Path, m_FormerPath))
            return true;
        message(reporter, QObject::tr("warning: rollback rename %1 to %2 failed")
                              .arg(m_FormerPath, m_Path));
        return false;
    case FILE_CREATE:
        if (QFile::remove(m_Path))
            return true;
        message(reporter, QObject::tr("warning: rollback create file %1 failed").arg(m_Path));
        return false;
    case DIR_CREATE: {
        // rmdir of the last component removes only an empty directory: one
        // that gained files since we made it is not ours to delete.
        const QFileInfo info(m_Path);
        if (info.dir().rmdir(info.fileName()))
            return true;
        message(reporter, QObject::tr("warning: rollback create dir %1 failed").arg(m_Path));
        return false;
    }
    case FILE_REPLACE:
        if (restoreKept(m_FormerPath, m_Path))
            return true;
        message(reporter, QObject::tr("warning: rollback replace %1 from %2 failed").arg(m_Path, m_FormerPath));
        return false;
    default:
        qFatal("Should not reach here");
    }
    return false;
}

void RollbackData::message(QObject* reporter, QString text)
{
    if (!reporter)
        return;
    if (!QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection,
                                   Q_ARG(QString, text)))
        qWarning() << "Warning: message signal was not found in RollbackData::message";
}

InstallJournal* RollbackDataList::disk() const
{
    return m_Disk;
}

void RollbackDataList::setDisk(InstallJournal* disk)
{
    m_Disk = disk;
}

bool rollbackAll(RollbackDataList* list, QObject* reporter)
{
    bool allUndone = true;
    while (!list->isEmpty()) {
        const RollbackData data = list->takeLast();
        if (!data.rollback(reporter))
            allUndone = false;
    }
    return allUndone;
}
