#include "fileunpacktaskspecification_zip.h"

#include "fileunpackfunc_zip.h"

FileUnpackTaskSpecification_zip::FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList,
                                                                 const QString& srcFile,
                                                                 const QString& dstFile,
                                                                 QObject* parent, qreal weight,
                                                                 quint64 outputLimit)
    : SlowFileOpSpecification(QObject::tr("Could not unzip '%1' to '%2'").arg(srcFile, dstFile),
                              rollbackList, srcFile, dstFile, parent, weight)
    , m_OutputLimit(outputLimit)
{
}

ASyncFunc* FileUnpackTaskSpecification_zip::createFunc()
{
    return new FileUnpackFunc_Zip(m_SrcFile, m_DstFile, m_OutputLimit);
}
