#pragma once
// The pool-thread half of FileTaskSpecification_patch: applies the ensemble
// patch m_PatchFile to the old file m_SrcFile and writes the new file
// m_DstFile. The engine writes nothing unless the result is verified.
// Progress follows the engine's steps.

#include "slowfileopfunc.h"

class FileFuncPatch final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileFuncPatch(const QString& srcFile, const QString& patchFile, const QString& dstFile,
                  quint64 outputLimit);

    bool run() override;

    // True when `newFile` now holds `oldFile` patched with `patchFile`, a new
    // file of at most `outputLimit` bytes.
    // `overLimit`, when given, tells whether a failure was the limit's.
    static bool patchFile(const QString& oldFile, const QString& patchFile, const QString& newFile,
                          quint64 outputLimit, bool* overLimit = nullptr,
                          const vxpatch::ProgressFn& progress = vxpatch::ProgressFn());

private:
    quint64 m_OutputLimit;
};
