#pragma once
// Deletes a file, or a directory (emptied ones with their emptied parents, or
// recursively with all contents). Deletions are not undoable, so it keeps no
// journal. A non-strict deletion always succeeds; a strict one fails with
// "Could not delete '%1'".

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

protected:
    bool doOp() override;

private:
    bool removeEmptyDirectory();

    QString m_Boundary;
    bool m_Strict;
    bool m_Recursive;
};
