#pragma once
// The three lists that comparing the product ini with the installation
// produces, and the records in them. The main task owns one DownloadReplaceLists;
// the download, replacement and deletion tasks read it through pointers. Items
// stay in the order in which the product ini listed them.

#include <QList>
#include <QString>
#include <QtGlobal>

// One file to fetch into the temporary directory: requested as
// section + "/" + name below the version's base URL, stored as
// temporary directory + "/" + name.
struct DownloadItem
{
    QString section;   // the remote directory (the product ini's section)
    QString name;      // the remote file name, also its name in the temporary directory
    QString hash;      // expected SHA-512 of the download, hexadecimal
    quint64 size = 0;  // expected size in bytes
};

// One installed file to produce from a download.
struct ReplaceItem
{
    QString name;         // the downloaded file in the temporary directory
    QString hash;         // expected SHA-512 of the installed result; may be empty
    QString installName;  // path relative to the installation directory; empty: same as name
    QString patchName;    // the patch file in the temporary directory; empty: none
    quint64 size = 0;     // size in bytes of the installed result, as the product ini lists it;
                          // unpacking or patching refuses to produce more

    // The installed file's path relative to the installation directory.
    QString targetName() const;
};

// One installed path to remove.
struct DeleteItem
{
    QString path;            // relative to the installation directory
    bool recursive = false;  // a directory with all its contents
};

struct DownloadReplaceLists
{
    QList<DownloadItem> downloads;
    QList<ReplaceItem> replaces;
    QList<DeleteItem> deletes;

    void clear();
};
