#pragma once
// A background file operation that writes one output file, m_DstFile, from
// m_SrcFile (and m_PatchFile). On success the destination is recorded in the
// journal as FILE_CREATE, so a rollback removes it; on failure m_FailText is
// emitted as a message, followed by the system's reason when the work left
// one ("...: No space left on device"), and nothing is recorded. Subclasses implement
// createFunc() with a SlowFileOpFunc that gets copies of the paths.
// Progress is what the work object measures (bytes unpacked, patched or
// copied against the expected size) and reports through its progress signal;
// each report also goes to the debug channel ("File progress", the source,
// the destination and the fraction), so that a diagnostics file shows how a long
// file moved.

#include "asynctaskspecification.h"
#include "rollback.h"

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

    // Replaces the fail text, for callers whose user knows the file by
    // another name than the paths worked on.
    void setFailText(const QString& failText);

protected:
    void connectFunc(ASyncFunc* func) override;
    void handleRunResult(bool res) override;

    RollbackDataList* m_RollbackList;
    QString m_SrcFile;
    QString m_PatchFile;
    QString m_DstFile;
    QString m_FailText;
    QString m_Reason;
};
