#pragma once
// Deletes a file, or a directory (emptied ones with their emptied parents, or
// recursively with all contents). A non-strict deletion always succeeds; a
// strict one fails with "Could not delete '%1'".
//
// Without a journal deletions are final. With a journal on disk (setJournal)
// every path that goes is moved into the journal's kept originals instead,
// announced there first and recorded as FILE_RENAME, so that it can be put
// back until the session ends.

#include "fastfileoptaskspecification.h"

class FileDeleteTaskSpecification final : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteTaskSpecification(bool strict, const QString& path, bool recursive, QObject* parent, qreal weight);

    // Parents that a non-recursive deletion empties are removed too, but only
    // those strictly below `dir`; without a boundary no parent is touched, so
    // a deletion can never climb out of the installation.
    void setBoundary(const QString& dir);
    void setJournal(RollbackDataList* journal);

protected:
    bool doOp() override;

private:
    bool removeEmptyDirectory();
    // Removes `path` (file or whole directory) by moving it aside.
    bool moveAside(const QString& path);
    bool remove(const QString& path);

    QString m_Boundary;
    bool m_Strict;
    bool m_Recursive;
};
