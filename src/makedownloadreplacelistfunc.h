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
// Every path from the ini is joined to the installation or the temporary
// directory, so a key or install path that is absolute or has a "." or ".."
// component is an invalid line, and so is a download name used in two
// sections (both downloads would write one temporary file). An invalid line
// ends the run with false; the lists are then incomplete and must not be used.

#include "asyncfunc.h"
#include "downloadreplacelists.h"

#include <QHash>
#include <QSet>

class Configuration;
class QSettings;

class MakeDownloadReplaceListFunc final : public ASyncFunc
{
    Q_OBJECT

public:
    MakeDownloadReplaceListFunc(Configuration* config, DownloadReplaceLists* lists);

    // True when the lists are complete; false on an empty or invalid ini.
    bool run() override;

private:
    // A patch line: its key and its first four fields, under its fifth field.
    struct PatchEntry
    {
        QString key;
        QStringList fields;
    };

    bool readPatchTable(QSettings& ini, const QString& section, const QStringList& patchKeys,
                        QHash<QString, PatchEntry>* table);
    void readDeletes(QSettings& ini, const QStringList& keys, int total, int* count);
    bool compareFile(const QString& section, const QString& key, const QStringList& fields,
                     const QHash<QString, PatchEntry>& patches);
    void copyUpToDateFile(const QString& installedPath, const QString& targetName) const;
    bool claimDownloadName(const QString& key);
    void reportInvalidLine(const QString& section);

    static bool isSafeRelativePath(const QString& path);
    static bool hashMatches(const QString& path, const QString& expected);

    bool m_ClientUpdate;
    QString m_TempDir;
    QString m_InstallDir;
    DownloadReplaceLists* m_Lists;
    // Download names of the sections read so far.
    QSet<QString> m_DownloadNames;
};
