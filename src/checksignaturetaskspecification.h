#pragma once
// Checks one file in the background: against its expected SHA-512 (hex, any
// letter case), or, with an empty hash, against the RSA signature in the file
// of the same name with ".sig" appended. The outcome goes out as
// checkDone(pass, this) before the task's own end signal, so an owner can
// record it before its parent schedules the next sub-task. A failed check
// fails the task only with failOnMismatch; otherwise the task finishes and
// only checkDone tells.

#include "asynctaskspecification.h"

class CheckSignatureTaskSpecification final : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    CheckSignatureTaskSpecification(const QString& filePath, const QString& expectedHash,
                                    bool failOnMismatch, QObject* parent, qreal weight);

    // The name a mismatch is reported under, when the user knows the file
    // by another than the path checked (a new file not yet in place).
    void setShownName(const QString& name);

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

protected:
    ASyncFunc* createFunc() override;
    void handleRunResult(bool pass) override;

private:
    QString m_FilePath;
    QString m_ExpectedHash;
    bool m_FailOnMismatch;
    QString m_ShownName;
};
