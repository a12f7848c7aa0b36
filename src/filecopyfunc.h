#pragma once
// The pool-thread half of FileCopyTaskSpecification.

#include "slowfileopfunc.h"

class FileCopyFunc final : public SlowFileOpFunc
{
    Q_OBJECT

public:
    FileCopyFunc(const QString& srcFile, const QString& dstFile);

    bool run() override;
};
