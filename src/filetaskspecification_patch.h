#pragma once
// Applies a downloaded ensemble patch to an installed (old) file on a pool
// thread, writing the new file. Fail text "Could not patch '%1' to '%2'"
// (old file, new file); with a journal, success records the new file as
// FILE_CREATE. The line "Patching %1" before it is the caller's. A new file
// of more than `outputLimit` bytes (the installed size the product ini lists)
// is refused as soon as that shows.

#include "slowfileopspecification.h"

class FileTaskSpecification_patch final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileTaskSpecification_patch(RollbackDataList* rollbackList, const QString& srcFile,
                                const QString& patchFile, const QString& dstFile,
                                QObject* parent, qreal weight, quint64 outputLimit);

protected:
    ASyncFunc* createFunc() override;

private:
    quint64 m_OutputLimit;
};
