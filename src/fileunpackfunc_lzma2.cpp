#include "fileunpackfunc_lzma2.h"

#include "vxpatch/packed_file.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& srcFile, const QString& dstFile,
                                           quint64 outputLimit)
    : SlowFileOpFunc(srcFile, dstFile)
    , m_OutputLimit(outputLimit)
{
}

bool FileUnpackFunc_lzma2::run()
{
    bool overLimit = false;
    const bool res = unpackFile(m_SrcFile, m_DstFile, m_OutputLimit, &overLimit, engineProgress());
    if (overLimit)
        emit message(QObject::tr("Refused '%1': it would unpack to more than %2 bytes")
                         .arg(m_SrcFile)
                         .arg(m_OutputLimit));
    return res;
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& srcFile, const QString& dstFile, quint64 outputLimit,
                                      bool* overLimit, const vxpatch::ProgressFn& progress)
{
    const QByteArray src = srcFile.toUtf8();
    const QByteArray dst = dstFile.toUtf8();
    const bool res =
        vxpatch::UnpackLzmaFile(src.constData(), dst.constData(), outputLimit, overLimit, progress);
    qDebug() << "unpackFile" << srcFile << dstFile << res;
    return res;
}
