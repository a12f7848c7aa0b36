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
// holding the complete new updater. Of several patches for one installed
// file, the one made from the installed version (its third field equals the
// installed file's hash) is fetched; with none, the file line's download.
// Deletions are listed deepest path first, so that a directory the ini
// deletes (value 1: only when empty) is emptied of the files it lists first.
//
// ProductIniReader reads and checks the whole ini first (unsafe paths and
// download names used twice are invalid lines), so an invalid line ends the
// run with false before any installed file is hashed or copied; the lists
// are then incomplete and must not be used.
//
// Progress goes by the bytes of installed files hashed (each line counting
// a little besides, so that lines of missing files move it too), reported
// while a large file is being hashed (and written to the debug channel as
// "Comparison progress"). An installed file is read once, even
// when both a patch's base and the line's own hash are compared with it.

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
                     const QHash<QString, QList<ProductIniReader::Patch>>& patches);
    void copyUpToDateFile(const QString& installedPath, const QString& targetName) const;

    // The SHA-512 of the file in hexadecimal, empty when it cannot be read.
    // `counted`: its bytes advance the progress.
    QString sha512Of(const QString& path, bool counted);
    void advance(quint64 bytes);

    bool m_ClientUpdate;
    quint64 m_WorkTotal = 0;
    quint64 m_WorkDone = 0;
    quint64 m_WorkReported = 0;
    QByteArray m_Chunk; // the read buffer of every hash
    QString m_TempDir;
    QString m_InstallDir;
    DownloadReplaceLists* m_Lists;
};
