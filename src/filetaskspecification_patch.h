#pragma once
// Applies a downloaded ensemble patch to an installed (old) file on a pool
// thread, writing the new file. Fail text "Could not patch '%1' to '%2'"
// (old file, new file); with a journal, success records the new file as
// FILE_CREATE. The line "Patching %1" before it is the caller's.

#include "slowfileopspecification.h"

class FileTaskSpecification_patch final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& srcFile,
                                const QString& patchFile, const QString& dstFile,
                                QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};
