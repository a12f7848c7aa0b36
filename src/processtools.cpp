#include "processtools.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

bool ProcessTools::startVx3Client(const QString& installDir)
{
    qDebug() << "startVx3Client";
    return startVx3Client_linux(installDir);
}

bool ProcessTools::startClientUpdater(const QString& dir, const QStringList& arguments)
{
    qDebug() << "startClientUpdater" << dir << arguments;
    return startNewUpdater_linux(dir, arguments);
}

bool ProcessTools::startVx3Client_linux(const QString& installDir)
{
    const QString program = installDir + QStringLiteral("/vx3client_runscript.sh");
    qDebug() << "starting " << program;
    return QProcess::startDetached(program, QStringList(), installDir);
}

bool ProcessTools::startNewUpdater_linux(const QString& dir, const QStringList& arguments)
{
    const QString program = dir + QStringLiteral("/update");
    qDebug() << "startNewUpdater_linux" << program;
    if (!QFileInfo::exists(program)) {
        qDebug() << "Failed to find" << program;
        return false;
    }
    qDebug() << "starting" << program;
    return QProcess::startDetached(program, arguments, dir);
}
