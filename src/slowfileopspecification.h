#pragma once
// A background file operation that writes one output file, m_DstFile, from
// m_SrcFile (and m_PatchFile). On success the destination is recorded in the
// journal as FILE_CREATE, so a rollback removes it; on failure m_FailText is
// emitted as a message and nothing is recorded. Subclasses implement
// createFunc() with a SlowFileOpFunc that gets copies of the paths.
//
// The patch engine reports nothing until it is done, and a large file takes
// seconds. A subclass that names the work's size (estimateDuration) makes
// the progress follow the time the work is expected to take, a few times a
// second, up to 80% at the expected end and then ever more slowly towards
// 99%; the real end sets it to 100%.

#include "asynctaskspecification.h"
#include "rollback.h"

#include <QElapsedTimer>

class QTimer;

class SlowFileOpSpecification : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    SlowFileOpSpecification(const QString& failText, RollbackDataList* rollbackList,
                            const QString& srcFile, const QString& dstFile, QObject* parent,
                            qreal weight);
    // Note the order: weight before parent in this form.
    SlowFileOpSpecification(const QString& failText, RollbackDataList* rollbackList,
                            const QString& srcFile, const QString& patchFile,
                            const QString& dstFile, qreal weight, QObject* parent);

public slots:
    void execute() override;
    void reset() override;

protected:
    void handleRunResult(bool res) override;
    // `bytes` of output made at about `bytesPerSecond`.
    void estimateDuration(quint64 bytes, quint64 bytesPerSecond);

    RollbackDataList* m_RollbackList;
    QString m_SrcFile;
    QString m_PatchFile;
    QString m_DstFile;
    QString m_FailText;

private slots:
    void onEstimateTick();

private:
    QTimer* m_EstimateTimer = nullptr;
    QElapsedTimer m_Elapsed;
    qint64 m_ExpectedMs = 0;
};
