#include "fileunpackfunc_zip.h"

#include <QDebug>
#include <QFile>

#include <zlib.h>

namespace {
constexpr int kChunkSize = 16384;
// Progress is reported at most once per this many bytes written.
constexpr quint64 kProgressStep = quint64(4) << 20;
} // namespace

FileUnpackFunc_Zip::FileUnpackFunc_Zip(const QString& srcFile, const QString& dstFile,
                                       quint64 outputLimit)
    : SlowFileOpFunc(srcFile, dstFile)
    , m_OutputLimit(outputLimit)
{
}

bool FileUnpackFunc_Zip::run()
{
    QFile dst(m_DstFile);
    if (!dst.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qDebug() << "unzip: cannot open destination" << m_DstFile << dst.errorString();
        return false;
    }

    gzFile src = gzopen(m_SrcFile.toUtf8().constData(), "rb");
    if (!src) {
        qDebug() << "unzip: cannot open source" << m_SrcFile;
        dst.remove();
        return false;
    }

    gzrewind(src);
    bool ok = true;
    QByteArray buffer(kChunkSize, Qt::Uninitialized);
    quint64 written = 0;
    for (;;) {
        const int n = gzread(src, buffer.data(), kChunkSize);
        if (n == 0) {
            // zlib hands out what a cut-off gzip stream held and then reports
            // the end of input only as an error state, not as a failed read.
            int state = Z_OK;
            gzerror(src, &state);
            ok = state == Z_OK;
            break;
        }
        if (n > 0 && m_OutputLimit - written < quint64(n)) {
            emit message(QObject::tr("Refused '%1': it would unpack to more than %2 bytes")
                             .arg(m_SrcFile)
                             .arg(m_OutputLimit));
            ok = false;
            break;
        }
        if (n < 0 || dst.write(buffer.constData(), n) != n) {
            ok = false;
            break;
        }
        written += quint64(n);
        if (written / kProgressStep != (written - quint64(n)) / kProgressStep)
            emit progress(qreal(written) / qreal(m_OutputLimit));
    }
    // A write that only reaches the disk on close counts as failed too.
    if (ok) {
        dst.close();
        ok = dst.error() == QFileDevice::NoError;
    }
    gzclose(src);
    if (!ok) {
        qDebug() << "unzip failed" << m_SrcFile << m_DstFile;
        dst.remove();
    }
    return ok;
}
