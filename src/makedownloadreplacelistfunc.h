#pragma once
// The pool-thread half of MakeDownloadReplaceListTaskSpecification: compares
// the verified product ini in the temporary directory with the installation
// and fills the task's own lists (never the shared ones) with what to
// download, what to install and what to delete.
//
// Product ini: one section per remote directory, values are fields joined by
// "::". File lines have 2 fields (hash, size) or 5 (download hash and size,
// installed hash and size, install path); keys ending in "_patch_" are
// patches (5 fields, the fifth links to the file line with the same install
// path); the "delete" section lists installed paths, value 2 meaning
// recursive. An installed file whose SHA-512 matches is up to date; in the
// first step it is copied into the temporary directory so that it ends up
// holding the complete new updater.
//
// ProductIniReader reads and checks the whole ini first (unsafe paths and
// download names used twice are invalid lines), so an invalid line ends the
// run with false before any installed file is hashed or copied; the lists
// are then incomplete and must not be used.

#include "asyncfunc.h"
#include "downloadreplacelists.h"
#include "productinireader.h"

class Configuration;

class MakeDownloadReplaceListFunc final : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration* config, DownloadReplaceLists* lists);

    // True when the lists are complete; false on an empty or invalid ini.
    bool run() override;

private:
    void compareFile(const ProductIniReader::FileLine& line,
                     const QHash<QString, ProductIniReader::Patch>& patches);
    void copyUpToDateFile(const QString& installedPath, const QString& targetName) const;

    static bool hashMatches(const QString& path, const QString& expected);

    bool m_ClientUpdate;
    QString m_TempDir;
    QString m_InstallDir;
    DownloadReplaceLists* m_Lists;
};
