#pragma once
// The pool-thread half of FileTaskSpecification_patch: applies the ensemble
// patch m_PatchFile to the old file m_SrcFile and writes the new file
// m_DstFile. The engine writes nothing unless the result is verified.

#include "slowfileopfunc.h"

class FileFuncPatch final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileFuncPatch(const QString& srcFile, const QString& patchFile, const QString& dstFile);

    bool run() override;

    // True when `newFile` now holds `oldFile` patched with `patchFile`.
    static bool patchFile(const QString& oldFile, const QString& patchFile, const QString& newFile);
};
