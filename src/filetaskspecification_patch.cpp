#include "filetaskspecification_patch.h"

#include "filefuncpatch.h"

#include <QDebug>

FileTaskSpecification_patch::FileTaskSpecification_patch(RollbackDataList* rollbackList,
                                                         const QString& srcFile,
                                                         const QString& patchFile,
                                                         const QString& dstFile, QObject* parent,
                                                         qreal weight, quint64 outputLimit)
    : SlowFileOpSpecification(QObject::tr("Could not patch '%1' to '%2'").arg(srcFile, dstFile),
                              rollbackList, srcFile, patchFile, dstFile, weight, parent)
    , m_OutputLimit(outputLimit)
{
    qDebug() << "FileTaskSpecification_patch"
             << "srcFile:" << srcFile << "patchFile:" << patchFile << "dstFile:" << dstFile;
}

ASyncFunc* FileTaskSpecification_patch::createFunc()
{
    return new FileFuncPatch(m_SrcFile, m_PatchFile, m_DstFile, m_OutputLimit);
}
