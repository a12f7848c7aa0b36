#include "dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                       QObject* parent, qreal weight)
    : FastFileOpTaskSpecification(path, rollbackList, parent, weight)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return createDir(m_Path);
}

bool DirCreateTaskSpecification::createDir(const QString& path)
{
    const QFileInfo info(path);
    if (info.exists()) {
        if (info.isDir())
            return true;
        emit message(QObject::tr("Could not create dir '%1' because it already exists and is not a dir").arg(path));
        return false;
    }

    const QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || QDir(path).isRoot()) {
        emit message(QObject::tr("Could not create dir %1").arg(m_Path));
        return false;
    }
    if (!parent.exists() && !createDir(parent.path()))
        return false;

    const RollbackData record(RollbackData::DIR_CREATE, path);
    if (!announce(record))
        return false;
    if (!parent.mkdir(QDir(path).dirName())) {
        emit message(QObject::tr("unable to create dir %1").arg(path));
        return false;
    }
    madeDurable(path);
    addRollbackData(record);
    return true;
}
