#include "processtools.h"

#include <QDebug>
#include <QFileInfo>
#include <QProcess>

namespace {

bool startVx3Client_linux(const QString& installDir)
{
    const QString program = installDir + QStringLiteral("/vx3client_runscript.sh");
    qDebug() << "starting " << program;
    return QProcess::startDetached(program, QStringList(), installDir);
}

bool startNewUpdater_linux(const QString& dir, const QStringList& arguments)
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

} // namespace

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

QProcess* ProcessTools::runClientUpdater(const QString& dir, const QStringList& arguments,
                                         const QProcessEnvironment& environment, QObject* parent)
{
    const QString program = dir + QStringLiteral("/update");
    qDebug() << "runClientUpdater" << program << arguments;
    auto* process = new QProcess(parent);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setWorkingDirectory(dir);
    process->setProcessEnvironment(environment);
    process->start(program, arguments);
    if (!process->waitForStarted()) {
        qDebug() << "Failed to start" << program << process->errorString();
        delete process;
        return nullptr;
    }
    return process;
}
