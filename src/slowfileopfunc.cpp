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
