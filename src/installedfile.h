#pragma once
// Where the pieces of one replace item live: the download and the old copy in
// the session's temporary directory, the installed file in the installation;
// and how the item is installed (copied, unpacked or patched). Every path of
// the session's temporary directory is joined here.

#include "downloadreplacelists.h"

#include <QString>

class Configuration;

class InstalledFile final
{
public:
    enum class Method { Copy, UnpackLzma2, UnpackGzip, Patch };

    InstalledFile(const ReplaceItem& item, const Configuration& config);

    // A 2-field line is copied, a line with a patch patched, any other 5-field
    // line unpacked: an LZMA2 container when its download is named so, else a
    // gzip file.
    Method method() const;

    QString downloadPath() const;   // temporary directory + "/" + name
    QString installedPath() const;  // installation directory + "/" + target name
    QString patchPath() const;      // temporary directory + "/" + patch name
    QString oldCopyPath() const;    // temporary directory + "/" + target name + "_old"
    QString newFilePath() const;    // temporary directory + "/" + target name + "#new"
    QString tempTargetPath() const; // temporary directory + "/" + target name

    // `name` (relative) in the session's temporary directory, or in `dir`.
    static QString tempPath(const Configuration& config, const QString& name);
    static QString joinedPath(const QString& dir, const QString& name);

private:
    Method m_Method;
    QString m_Download;
    QString m_Installed;
    QString m_Patch;
    QString m_TempTarget;
};
