#pragma once
// Where the pieces of one replace item live: the download and the old copy in
// the session's temporary directory, the installed file in the installation,
// and whether the installed file must be executable.

#include "downloadreplacelists.h"

#include <QString>

class Configuration;

class InstalledFile final
{
public:
    InstalledFile(const ReplaceItem& item, const Configuration& config);

    QString downloadPath() const;   // temporary directory + "/" + name
    QString installedPath() const;  // installation directory + "/" + target name
    QString patchPath() const;      // temporary directory + "/" + patch name
    QString oldCopyPath() const;    // temporary directory + "/" + target name + "_old"
    QString tempTargetPath() const; // temporary directory + "/" + target name

    // True for the client's programs and scripts, the updater, and shared
    // libraries (complete suffix "so", "so.4" or "so.5").
    static bool isExecutable(const QString& path);
    // Gives an installed program or library its permissions: everybody may
    // read and run it, only its owner may change it.
    static bool makeExecutable(const QString& path);

private:
    QString m_Download;
    QString m_Installed;
    QString m_Patch;
    QString m_TempTarget;
};
