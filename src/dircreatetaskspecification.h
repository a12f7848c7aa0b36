#pragma once
// Creates a directory with its missing parents. Each level actually created is
// journalled as DIR_CREATE, outermost first, so a rollback removes them
// innermost first; a directory that already exists records nothing.

#include "fastfileoptaskspecification.h"

class DirCreateTaskSpecification final : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent,
                               qreal weight);

protected:
    bool doOp() override;

private:
    bool createDir(const QString& path);
};
