#pragma once
// Unpacks a downloaded packed-file container (LZMA2) into one output file on
// a pool thread. Fail text "Could not unpack '%1' to '%2'" (source,
// destination); with a journal, success records the destination as
// FILE_CREATE. The product ini download uses it without a journal.

#include "slowfileopspecification.h"

class FileUnpackTaskSpecification_lzma2 final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_lzma2(RollbackDataList* rollbackList, const QString& srcFile,
                                      const QString& dstFile, QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
};
