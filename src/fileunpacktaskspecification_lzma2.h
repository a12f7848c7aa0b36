#pragma once
// Unpacks a downloaded packed-file container (LZMA2) into one output file on
// a pool thread. Fail text "Could not unpack '%1' to '%2'" (source,
// destination); with a journal, success records the destination as
// FILE_CREATE. The product ini download uses it without a journal.
// An unpacked file of more than `outputLimit` bytes (the installed size the
// product ini lists) is refused as soon as that shows.

#include "slowfileopspecification.h"

class FileUnpackTaskSpecification_lzma2 final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& srcFile,
                                      const QString& dstFile, QObject* parent, qreal weight,
                                      quint64 outputLimit);

protected:
    ASyncFunc* createFunc() override;

private:
    quint64 m_OutputLimit;
};
