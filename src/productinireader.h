#pragma once
// Reads the verified product ini into its sections: the file lines as
// download and replace records, the patch lines by the installed path they
// apply to, and the deletions. Only the text is read here; comparing with
// the installation is MakeDownloadReplaceListFunc's part, so the whole ini
// is known to be valid before any file is hashed or copied.
//
// Every path from the ini is later joined to the installation or the
// temporary directory, so a key or install path that is absolute or has a
// "." or ".." component is an invalid line, and so is a download name used
// twice (both downloads would write one temporary file). So is a size
// beyond 2^63 - 1 bytes; one that is no number reads as 0. Sections and lines
// keep the order in which Qt's INI reader returns them.

#include "downloadreplacelists.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

class QSettings;

class ProductIniReader final
{
public:
    enum class Result { Ok, NoFiles, InvalidLine };

    // A patch line, filed under its fifth field (the installed path it
    // applies to). A release may carry several for one installed path, one
    // from each older version; the installed file's hash picks one.
    struct Patch
    {
        QString key;
        QString hash;     // of the patch file
        quint64 size = 0; // of the patch file
        QString baseHash; // of the installed file the patch applies to
    };

    // A plain or packed file line as it would be downloaded and installed
    // without a patch.
    struct FileLine
    {
        DownloadItem download;
        ReplaceItem replace;
        bool packed = false; // 5 fields: judged by the installed file's hash (replace.hash)
    };

    struct Section
    {
        QString name;
        QList<FileLine> files;
        QHash<QString, QList<Patch>> patches; // in the reader's order
        QList<DeleteItem> deletes; // section "delete" only, installed or not
    };

    ProductIniReader() = default;

    // NoFiles when no section has a key (a missing or unreadable file too);
    // InvalidLine at the first line of a wrong kind or with an unsafe path,
    // and invalidSection() names its section. Only Ok leaves sections.
    Result read(const QString& path);

    const QList<Section>& sections() const;
    QString invalidSection() const;

private:
    bool readSection(QSettings& ini, Section* section);
    bool readPatch(QSettings& ini, const QString& section, const QString& key,
                   QHash<QString, QList<Patch>>* patches);
    bool readFile(QSettings& ini, const QString& section, const QString& key, QList<FileLine>* files);
    bool claimDownloadName(const QString& key);

    QList<Section> m_Sections;
    int m_KeyCount = 0;
    QString m_InvalidSection;
    QSet<QString> m_DownloadNames;
};
