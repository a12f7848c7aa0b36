#pragma once
// Unpacks a downloaded gzip file (or copies a file that is not gzip) into one
// output file on a pool thread. Fail text "Could not unzip '%1' to '%2'"
// (source, destination); with a journal, success records the destination as
// FILE_CREATE. An output of more than `outputLimit` bytes (the installed size
// the product ini lists) is refused as soon as that shows.

#include "slowfileopspecification.h"

class FileUnpackTaskSpecification_zip final : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnpackTaskSpecification_zip(RollbackDataList* rollbackList, const QString& srcFile,
                                    const QString& dstFile, QObject* parent, qreal weight,
                                    quint64 outputLimit);

protected:
    ASyncFunc* createFunc() override;

private:
    quint64 m_OutputLimit;
};
