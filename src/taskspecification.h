#pragma once
// One node of the task tree of an update session. A task is started once by
// execute(), reports weighted progress, log lines and errors through signals,
// and ends with exactly one of finished(this) or canceled(this); canceled
// covers both TASK_FAILED and TASK_ABORTED, and listeners that care read
// taskState(). reset() makes a task startable again.
//
// Contract for subclasses: execute() sets m_TaskState to TASK_RUNNING before
// anything can end the task, then ends it (later or at once) through one of
// setFinished(), setFailed(), setAborted(). A task ends at most once per run:
// an end operation on a task that is not TASK_RUNNING does nothing, so late
// replies and second endings cannot emit a second end signal.
//
// GUI thread only.

#include <QObject>
#include <QString>

class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    enum TaskState {
        TASK_IDLE = 0,
        TASK_RUNNING = 1,
        TASK_FINISHED = 2,
        TASK_FAILED = 3,
        TASK_ABORTED = 4
    };

    TaskSpecification(QObject* parent, qreal weight);

    // The weight of one of `count` sub-tasks handling `size` of `total`
    // bytes: their work grows with the bytes, and each file also costs a
    // little of its own (a request, a journal entry), so that a session of a
    // few large and many small files moves evenly through both.
    static qreal byteShare(quint64 size, quint64 total, int count);

    int taskState() const;
    qreal weight() const;
    // This task's progress, already multiplied by its weight.
    qreal doneFrac() const;
    bool cancelRequested() const;

public slots:
    virtual void execute() = 0;
    virtual void reset();
    // Download byte counts of this subtree; may have side effects (stall counting).
    virtual void pollDownloadStatus(quint64* downloadDone, quint64* downloadTotal,
                                    quint64* newBytes, bool* downloading);
    virtual void cancel();
    // Called while running when a task elsewhere in the tree was cancelled.
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

signals:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* task);

protected slots:
    void onOtherTaskCancelled(TaskSpecification* other);

protected:
    // Stores fraction * weight and emits it.
    void setProgress(qreal fraction);
    void setFinished();
    void setFailed();
    void setAborted();

    bool m_CancelRequested;
    qreal m_Weight;
    qreal m_DoneFrac;
    int m_TaskState;

private:
    bool beginEnd(const char* operation);
};
