#include "filecopyfunc.h"

#include <QDebug>
#include <QFile>

FileCopyFunc::FileCopyFunc(const QString& srcFile, const QString& dstFile)
    : SlowFileOpFunc(srcFile, dstFile)
{
}

bool FileCopyFunc::run()
{
    qDebug() << "run" << m_SrcFile << m_DstFile;
    return QFile::copy(m_SrcFile, m_DstFile);
}
