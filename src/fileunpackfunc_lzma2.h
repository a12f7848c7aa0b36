#pragma once
// The pool-thread half of FileUnpackTaskSpecification_lzma2: unpacks one
// packed-file container (LZMA2) into its destination with the engine's
// reader. The engine writes nothing unless the content is complete and its
// checksum matched; a failure leaves the destination as the engine left it.
// A container that unpacks to more than the output limit fails as soon as
// that shows, before it costs more memory than the limit, with the message
// "Refused '%1': it would unpack to more than %2 bytes". Progress follows
// the engine's decoding.

#include "slowfileopfunc.h"

class FileUnpackFunc_lzma2 final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileUnpackFunc_lzma2(const QString& srcFile, const QString& dstFile, quint64 outputLimit);

    bool run() override;

    // True when `dstFile` now holds the verified content of `srcFile`, which
    // unpacks to at most `outputLimit` bytes.
    // `overLimit`, when given, tells whether a failure was the limit's.
    static bool unpackFile(const QString& srcFile, const QString& dstFile, quint64 outputLimit,
                           bool* overLimit = nullptr,
                           const vxpatch::ProgressFn& progress = vxpatch::ProgressFn());

private:
    quint64 m_OutputLimit;
};
