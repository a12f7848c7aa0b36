#include "updateengine.h"

#include <QDebug>
#include <QDir>
#include <QFile>

namespace {

const char* const kQt4Libraries[] = {
    "libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4",
};

const char* const kReplacedFiles[] = {
    "update",
    "libQtCore.so.4", "libQtGui.so.4", "libQtNetwork.so.4", "libQtSql.so.4",
    "libQt5Core.so.5", "libQt5Gui.so.5", "libQt5Network.so.5", "libQt5Sql.so.5",
    "libqgif.so", "libqjpeg.so", "libqtaccessiblewidgets.so", "libsqlite.so",
};

} // namespace

void UpdateEngine::removeOldFiles(const QString& dir)
{
    const QDir directory(dir);
    for (const char* name : kReplacedFiles) {
        const QString path = directory.filePath(QStringLiteral("_old_") + QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove old file:" << path;
            QFile::remove(path);
        }
    }
}

void UpdateEngine::removeQt4Files(const QString& dir)
{
    const QDir directory(dir);
    for (const char* name : kQt4Libraries) {
        const QString path = directory.filePath(QLatin1String(name));
        if (QFile::exists(path)) {
            qDebug() << "Remove Qt4 file:" << path;
            QFile::remove(path);
        }
    }
}
