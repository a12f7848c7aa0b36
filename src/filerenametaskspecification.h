#pragma once
// Renames a file, journalled as FILE_RENAME so that a rollback renames it
// back. The new name's directory is created if missing (one level, not
// journalled).

#include "fastfileoptaskspecification.h"

class FileRenameTaskSpecification final : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& fromPath, const QString& toPath, RollbackDataList* rollbackList,
                                QObject* parent, qreal weight);

protected:
    bool doOp() override;

private:
    QString m_FromPath;
};
