#pragma once
// The work object of a SlowFileOpSpecification: copies of the source, patch
// (empty for one-input operations) and destination paths. Subclasses
// implement run(), which writes m_DstFile; engineProgress() hands the patch
// engine a watcher that reports its progress through the progress signal.

#include "asyncfunc.h"
#include "vxpatch/progress.h"

class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& srcFile, const QString& dstFile);
    SlowFileOpFunc(const QString& srcFile, const QString& patchFile, const QString& dstFile);

protected:
    // Called on the pool thread; only emits.
    vxpatch::ProgressFn engineProgress();

    QString m_SrcFile;
    QString m_PatchFile;
    QString m_DstFile;
};
