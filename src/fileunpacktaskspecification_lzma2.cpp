#include "fileunpacktaskspecification_lzma2.h"

#include "fileunpackfunc_lzma2.h"

FileUnpackTaskSpecification_lzma2::FileUnpackTaskSpecification_lzma2(
    RollbackDataList* rollbackList, const QString& srcFile, const QString& dstFile,
    QObject* parent, qreal weight, quint64 outputLimit)
    : SlowFileOpSpecification(QObject::tr("Could not unpack '%1' to '%2'").arg(srcFile, dstFile),
                              rollbackList, srcFile, dstFile, parent, weight)
    , m_OutputLimit(outputLimit)
{
}

ASyncFunc* FileUnpackTaskSpecification_lzma2::createFunc()
{
    return new FileUnpackFunc_lzma2(m_SrcFile, m_DstFile, m_OutputLimit);
}
