#include "fileunpackfunc_lzma2.h"

#include "packed_file.h"

#include <QDebug>

FileUnpackFunc_lzma2::FileUnpackFunc_lzma2(const QString& srcFile, const QString& dstFile)
    : SlowFileOpFunc(srcFile, dstFile)
{
}

bool FileUnpackFunc_lzma2::run()
{
    return unpackFile(m_SrcFile, m_DstFile);
}

bool FileUnpackFunc_lzma2::unpackFile(const QString& srcFile, const QString& dstFile)
{
    const QByteArray src = srcFile.toUtf8();
    const QByteArray dst = dstFile.toUtf8();
    const bool res = vxpatch::UnpackLzmaFile(src.constData(), dst.constData());
    qDebug() << "unpackFile" << srcFile << dstFile << res;
    return res;
}
