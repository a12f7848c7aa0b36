#include "installedfile.h"

#include "configuration.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char* const kExecutableNames[] = {
    "vx3client_linux_x86", "vx3client_linux_amd64", "vx3client_runscript.sh",
    "update", "error_report", "package_inst",
};
const char* const kLibrarySuffixes[] = {"so", "so.4", "so.5"};

QString joined(const QString& dir, const QString& name)
{
    return QFileInfo(QDir(dir), name).filePath();
}

} // namespace

InstalledFile::InstalledFile(const ReplaceItem& item, const Configuration& config)
    : m_Download(joined(config.tempDir(), item.name))
    , m_Installed(joined(config.installDir(), item.targetName()))
    , m_Patch(joined(config.tempDir(), item.patchName))
    , m_TempTarget(joined(config.tempDir(), item.targetName()))
{
}

QString InstalledFile::downloadPath() const { return m_Download; }
QString InstalledFile::installedPath() const { return m_Installed; }
QString InstalledFile::patchPath() const { return m_Patch; }
QString InstalledFile::oldCopyPath() const { return m_TempTarget + QStringLiteral("_old"); }
QString InstalledFile::tempTargetPath() const { return m_TempTarget; }

bool InstalledFile::isExecutable(const QString& path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    const QString suffix = info.completeSuffix();
    for (const char* executable : kExecutableNames)
        if (name == QLatin1String(executable))
            return true;
    for (const char* library : kLibrarySuffixes)
        if (suffix == QLatin1String(library))
            return true;
    return false;
}

bool InstalledFile::makeExecutable(const QString& path)
{
    // Not writable by others: a program another local user may change is a
    // program that runs their code.
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadUser
                                           | QFile::WriteUser | QFile::ExeUser | QFile::ReadGroup
                                           | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}
