#include "applyensemblepatch.h"

#include <QDebug>

bool ApplyEnsemblePatch(const oschar* oldFile, const oschar* patchFile, const oschar* newFile,
                        quint64 outputLimit, bool* overLimit, const vxpatch::ProgressFn& progress)
{
    const int status = vxpatch::ApplyEnsemblePatch(oldFile, patchFile, newFile, outputLimit, progress);
    if (overLimit)
        *overLimit = status == vxpatch::STATUS_OUTPUT_LIMIT;
    qDebug() << "ApplyEnsemblePatch status =" << status;
    switch (status) {
    case vxpatch::STATUS_OK:
        return true;
    case vxpatch::STATUS_BAD_MAGIC:
        qDebug() << "Not an ensemble patch";
        break;
    case vxpatch::STATUS_BAD_VERSION:
        qDebug() << "Wrong version patch";
        break;
    case vxpatch::STATUS_BAD_HEADER:
        qDebug() << "Corrupt patch";
        break;
    case vxpatch::STATUS_STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        break;
    case vxpatch::STATUS_DISASSEMBLY_FAILED:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        break;
    case vxpatch::STATUS_OUTPUT_LIMIT:
        qDebug() << "Patched file would be larger than listed";
        break;
    default:
        break;
    }
    return false;
}
