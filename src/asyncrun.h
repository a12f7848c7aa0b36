#pragma once
// Runs one ASyncFunc on a pool thread and owns it: the pool deletes the
// runnable after run(), and the work object goes with it, right after its
// result was emitted.

#include <QRunnable>

class ASyncFunc;

class ASyncRun final : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    ASyncRun(const ASyncRun&) = delete;
    ASyncRun& operator=(const ASyncRun&) = delete;

    void run() override;

private:
    ASyncFunc* m_Func;
};
