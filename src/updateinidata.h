#pragma once
// The record of the update session in progress, kept in the group "current" of
// the program directory's update.ini: version, temporary directory ("dir"),
// installation directory ("vx3dir") and product ("type"). It lets an
// interrupted session continue, and lets the updater unpacked into the
// temporary directory (step two) find the client installation.

#include <QString>

class UpdateIniData final
{
public:
    UpdateIniData() = delete;

    // The program directory's update.ini.
    static QString iniPath();

    // Reads the record. True only when the version is a number, the type and
    // the directory are not empty and the directory exists; only then are the
    // non-null outputs written.
    static bool get(int* version, QString* type, QString* dir, QString* vx3dir);

    // Writes the record; other groups of the file are kept.
    static void modify(int version, const QString& dir, const QString& vx3dir, const QString& type);

    // Writes the record, typed for the client, into dir/update.ini for the
    // updater that will run from there. The "Channel" and "update" groups go
    // along as they are, so step two keeps the user's proxy, parallel
    // downloads and alpha channel.
    static void modifyTempIni(const QString& dir);
};
