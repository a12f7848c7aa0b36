#pragma once
// The work object of a SlowFileOpSpecification: copies of the source, patch
// (empty for one-input operations) and destination paths. Subclasses
// implement run(), which writes m_DstFile.

#include "asyncfunc.h"

class SlowFileOpFunc : public ASyncFunc
{
    Q_OBJECT

public:
    SlowFileOpFunc(const QString& srcFile, const QString& dstFile);
    SlowFileOpFunc(const QString& srcFile, const QString& patchFile, const QString& dstFile);

protected:
    QString m_SrcFile;
    QString m_PatchFile;
    QString m_DstFile;
};
