#pragma once
// Puts a complete new file in place of an installed one with one rename, so
// the installed path always holds either the whole old file or the whole new
// one. Before that rename the new file gets the permission bits FileModes
// chooses (a replaced file keeps its own) and is flushed to disk, and an
// existing original is kept under `keptPath` (a hard link, or a copy where
// the file system has none), journalled as FILE_REPLACE; a path that did not
// exist is journalled as FILE_CREATE. Failures name the installed file and
// the system's reason. The directory is flushed after the rename. The new file must
// lie on the installation's file system.

#include "fastfileoptaskspecification.h"

struct stat;

class FilePlaceTaskSpecification final : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FilePlaceTaskSpecification(const QString& newFile, const QString& installedPath, const QString& keptPath,
                               RollbackDataList* rollbackList, QObject* parent, qreal weight);

protected:
    bool doOp() override;

private:
    static QString reason(int error);
    // The bits of the file being replaced, or -1 when there are none.
    int originalMode(const struct stat& st) const;
    bool giveInstalledMode(int replacedMode);
    bool keepOriginal();

    QString m_NewFile;
    QString m_KeptPath;
};
