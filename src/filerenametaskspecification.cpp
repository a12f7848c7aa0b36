#include "filerenametaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& fromPath, const QString& toPath,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         qreal weight)
    : FastFileOpTaskSpecification(toPath, rollbackList, parent, weight)
    , m_FromPath(fromPath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    const QFileInfo target(m_Path);
    if (!target.dir().exists())
        QDir().mkdir(target.path());
    const RollbackData record(RollbackData::FILE_RENAME, m_FromPath, m_Path);
    if (!announce(record))
        return false;
    if (!QFile::rename(m_FromPath, m_Path)) {
        emit message(QObject::tr("Could not rename '%1' to '%2'").arg(m_FromPath, m_Path));
        return false;
    }
    madeDurable(m_Path);
    addRollbackData(record);
    return true;
}
