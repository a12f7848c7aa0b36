#include "filefuncpatch.h"

#include "applyensemblepatch.h"

#include <QDebug>

FileFuncPatch::FileFuncPatch(const QString& srcFile, const QString& patchFile,
                             const QString& dstFile)
    : SlowFileOpFunc(srcFile, patchFile, dstFile)
{
}

bool FileFuncPatch::run()
{
    return patchFile(m_SrcFile, m_PatchFile, m_DstFile);
}

bool FileFuncPatch::patchFile(const QString& oldFile, const QString& patchFile,
                              const QString& newFile)
{
    const QByteArray oldPath = oldFile.toUtf8();
    const QByteArray patchPath = patchFile.toUtf8();
    const QByteArray newPath = newFile.toUtf8();
    const bool res =
        ApplyEnsemblePatch(oldPath.constData(), patchPath.constData(), newPath.constData());
    qDebug() << "Patch result" << res;
    return res;
}
