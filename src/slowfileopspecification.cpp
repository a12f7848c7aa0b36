#include "slowfileopspecification.h"

#include <QTimer>

#include <cmath>

namespace {

// Work expected to end sooner shows no estimate: its end comes soon enough.
constexpr qint64 kLeastEstimatedMs = 400;
constexpr int kEstimateTickMs = 200;

} // namespace

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failText,
                                                 RollbackDataList* rollbackList,
                                                 const QString& srcFile, const QString& dstFile,
                                                 QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_SrcFile(srcFile)
    , m_DstFile(dstFile)
    , m_FailText(failText)
{
}

SlowFileOpSpecification::SlowFileOpSpecification(const QString& failText,
                                                 RollbackDataList* rollbackList,
                                                 const QString& srcFile,
                                                 const QString& patchFile,
                                                 const QString& dstFile, qreal weight,
                                                 QObject* parent)
    : ASyncTaskSpecification(parent, weight)
    , m_RollbackList(rollbackList)
    , m_SrcFile(srcFile)
    , m_PatchFile(patchFile)
    , m_DstFile(dstFile)
    , m_FailText(failText)
{
}

void SlowFileOpSpecification::handleRunResult(bool res)
{
    if (m_EstimateTimer)
        m_EstimateTimer->stop();
    // A dropped result (the task no longer runs) must not touch the journal.
    if (m_TaskState == TASK_RUNNING) {
        if (res) {
            if (m_RollbackList)
                m_RollbackList->append(RollbackData(RollbackData::FILE_CREATE, m_DstFile));
        } else {
            emit message(m_FailText);
        }
    }
    ASyncTaskSpecification::handleRunResult(res);
}

void SlowFileOpSpecification::estimateDuration(quint64 bytes, quint64 bytesPerSecond)
{
    // No limit given (the largest number) means no idea of the size.
    const bool known = bytesPerSecond > 0 && bytes < (quint64(1) << 40);
    m_ExpectedMs = known ? qint64(double(bytes) * 1000.0 / double(bytesPerSecond)) : 0;
}

void SlowFileOpSpecification::execute()
{
    ASyncTaskSpecification::execute();
    if (m_ExpectedMs < kLeastEstimatedMs)
        return;
    if (!m_EstimateTimer) {
        m_EstimateTimer = new QTimer(this);
        m_EstimateTimer->setInterval(kEstimateTickMs);
        connect(m_EstimateTimer, &QTimer::timeout, this, &SlowFileOpSpecification::onEstimateTick);
    }
    m_Elapsed.start();
    m_EstimateTimer->start();
}

void SlowFileOpSpecification::reset()
{
    if (m_EstimateTimer)
        m_EstimateTimer->stop();
    ASyncTaskSpecification::reset();
}

void SlowFileOpSpecification::onEstimateTick()
{
    if (m_TaskState != TASK_RUNNING) {
        m_EstimateTimer->stop();
        return;
    }
    const double x = double(m_Elapsed.elapsed()) / double(m_ExpectedMs);
    // Linear while the work is on time; once it is late, each tick closes a
    // part of the remaining gap, so the bar keeps moving but never arrives.
    const double fraction = x < 0.8 ? x : 0.8 + 0.19 * (1.0 - std::exp((0.8 - x) / 0.4));
    setProgress(fraction);
}
