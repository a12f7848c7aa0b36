#include "installedfile.h"

#include "configuration.h"
#include "updatefiles.h"

#include <QDir>
#include <QFileInfo>

namespace {

InstalledFile::Method methodOf(const ReplaceItem& item)
{
    if (item.installName.isEmpty())
        return InstalledFile::Method::Copy;
    if (!item.patchName.isEmpty())
        return InstalledFile::Method::Patch;
    return UpdateFiles::packedForm(item.name.toStdString()) == UpdateFiles::PackedForm::Lzma2
               ? InstalledFile::Method::UnpackLzma2
               : InstalledFile::Method::UnpackGzip;
}

} // namespace

InstalledFile::InstalledFile(const ReplaceItem& item, const Configuration& config)
    : m_Method(methodOf(item))
    , m_Download(tempPath(config, item.name))
    , m_Installed(joinedPath(config.installDir(), item.targetName()))
    , m_Patch(tempPath(config, item.patchName))
    , m_TempTarget(tempPath(config, item.targetName()))
{
}

InstalledFile::Method InstalledFile::method() const { return m_Method; }

QString InstalledFile::tempPath(const Configuration& config, const QString& name)
{
    return joinedPath(config.tempDir(), name);
}

QString InstalledFile::joinedPath(const QString& dir, const QString& name)
{
    return QFileInfo(QDir(dir), name).filePath();
}

QString InstalledFile::downloadPath() const { return m_Download; }
QString InstalledFile::installedPath() const { return m_Installed; }
QString InstalledFile::patchPath() const { return m_Patch; }
QString InstalledFile::oldCopyPath() const
{
    return m_TempTarget + QLatin1String(UpdateFiles::kOldCopySuffix);
}
QString InstalledFile::tempTargetPath() const { return m_TempTarget; }
QString InstalledFile::newFilePath() const
{
    // No published name holds a '#', so this never meets a download.
    return m_TempTarget + QStringLiteral("#new");
}
