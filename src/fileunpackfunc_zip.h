#pragma once
// The pool-thread half of FileUnpackTaskSpecification_zip: streams a gzip
// file into its destination in chunks of 16384 bytes. zlib passes input that
// is not gzip through unchanged, so this also copies uncompressed files.
//
// The destination is truncated in place (it keeps its permissions). If the
// destination cannot be opened it is left as it was; any later failure
// (including a gzip stream that is cut off) removes it, so a failed run never
// leaves a partly written file. Neither does an output that would pass
// `outputLimit` bytes: the run fails at the chunk that would pass it.
// Progress is the bytes written against `outputLimit` (the installed size).

#include "slowfileopfunc.h"

class FileUnpackFunc_Zip final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_Zip(const QString& srcFile, const QString& dstFile, quint64 outputLimit);

    bool run() override;

private:
    quint64 m_OutputLimit;
};
