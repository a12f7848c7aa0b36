#pragma once
// The pool-thread half of FileUnpackTaskSpecification_lzma2: unpacks one
// packed-file container (LZMA2) into its destination with the engine's
// reader. The engine writes nothing unless the content is complete and its
// checksum matched; a failure leaves the destination as the engine left it.

#include "slowfileopfunc.h"

class FileUnpackFunc_lzma2 final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString& srcFile, const QString& dstFile);

    bool run() override;

    // True when `dstFile` now holds the verified content of `srcFile`.
    static bool unpackFile(const QString& srcFile, const QString& dstFile);
};
