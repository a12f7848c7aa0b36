#include "filefuncpatch.h"

#include "applyensemblepatch.h"

#include <QDebug>

FileFuncPatch::FileFuncPatch(const QString& srcFile, const QString& patchFile,
                             const QString& dstFile, quint64 outputLimit)
    : SlowFileOpFunc(srcFile, patchFile, dstFile)
    , m_OutputLimit(outputLimit)
{
}

bool FileFuncPatch::run()
{
    bool overLimit = false;
    const bool res =
        patchFile(m_SrcFile, m_PatchFile, m_DstFile, m_OutputLimit, &overLimit, engineProgress());
    if (overLimit)
        emit message(QObject::tr("Refused '%1': the patched file would be larger than %2 bytes")
                         .arg(m_PatchFile)
                         .arg(m_OutputLimit));
    return res;
}

bool FileFuncPatch::patchFile(const QString& oldFile, const QString& patchFile, const QString& newFile,
                              quint64 outputLimit, bool* overLimit, const vxpatch::ProgressFn& progress)
{
    const QByteArray oldPath = oldFile.toUtf8();
    const QByteArray patchPath = patchFile.toUtf8();
    const QByteArray newPath = newFile.toUtf8();
    const bool res = ApplyEnsemblePatch(oldPath.constData(), patchPath.constData(), newPath.constData(),
                                        outputLimit, overLimit, progress);
    qDebug() << "Patch result" << res;
    return res;
}
