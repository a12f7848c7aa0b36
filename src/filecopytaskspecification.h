#pragma once
// Copies a file on a pool thread. The copy never overwrites: an existing
// destination fails it with "Could not copy '%1' to '%2'". On success the
// destination is journalled as FILE_CREATE.

#include "slowfileopspecification.h"

class FileCopyTaskSpecification final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& srcFile, const QString& dstFile,
                              QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};
