#include "slowfileopfunc.h"

SlowFileOpFunc::SlowFileOpFunc(const QString& srcFile, const QString& dstFile)
    : m_SrcFile(srcFile)
    , m_DstFile(dstFile)
{
}

SlowFileOpFunc::SlowFileOpFunc(const QString& srcFile, const QString& patchFile,
                               const QString& dstFile)
    : m_SrcFile(srcFile)
    , m_PatchFile(patchFile)
    , m_DstFile(dstFile)
{
}

vxpatch::ProgressFn SlowFileOpFunc::engineProgress()
{
    return
        [this](quint64 done, quint64 total) { emit progress(total == 0 ? 1.0 : qreal(done) / qreal(total)); };
}
