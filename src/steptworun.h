#pragma once
// Unattended step one's watch over step two: runs the new updater from the
// session directory as a child process and tells which status the whole
// update ends with.
//
// The new updater is asked to confirm that it runs unattended (UnattendedRun).
// Confirmed, step one waits for its end and takes over its exit status (a
// crash counts as StepTwoNotRun). An updater that has not confirmed within
// the time-out is an older build showing its window, which may wait for a
// user for ever: it is not waited for any longer but left to run on its own,
// and the run ends with StepTwoNotRun. So does one that ends without having
// confirmed, whatever its exit code: an older build's 0 also means that a
// user closed a failed update's window.

#include "sessiondirectory.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class QTimer;

class StepTwoRun final : public QObject
{
    Q_OBJECT

public:
    explicit StepTwoRun(QObject* parent);

    // Starts `dir` + "/update" with `arguments`, waiting at most `confirmWithinMs`
    // for its confirmation. False when it cannot be started; ended() follows
    // only a true result.
    bool start(const QString& dir, const QStringList& arguments, int confirmWithinMs);

signals:
    // The status the unattended run ends with, and the log line saying why.
    void ended(int status, QString text);

private slots:
    void onFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onConfirmationDue();

private:
    bool confirmed() const;

    QProcess* m_Process = nullptr;
    QTimer* m_Deadline;
    // Held while this process lives, so that the sweep of other updaters
    // never takes it, and let go by the kernel if this process is killed, so
    // that the next sweep does. Declared first: the directory goes first.
    SessionDirectory m_ConfirmationLock;
    // Outside the session directory, which a successful step two removes.
    QTemporaryDir m_ConfirmationDir;
    QString m_ConfirmationFile;
    int m_ConfirmWithinMs = 0;
};
