#pragma once
// A leaf task whose work runs on Qt's global thread pool. Each execute()
// makes a fresh work object with createFunc(), runs it once through an
// ASyncRun, and turns its boolean result into the task's end in the GUI
// thread (handleRunResult). Messages, errors and progress of the work arrive
// queued and in order. Cancelling does not interrupt the work; its result is
// still honoured. A result of an earlier run (one that was reset) is dropped,
// even when the task has been started again meanwhile.

#include "taskspecification.h"

class ASyncFunc;

class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, qreal weight);

public slots:
    void execute() override;
    // Waits until the global pool is idle (all its work, not only ours).
    void reset() override;

protected:
    // A new work object without parent, carrying copies of all its inputs.
    virtual ASyncFunc* createFunc() = 0;
    virtual void connectFunc(ASyncFunc* func);
    // Subclasses that override it call the base at the end.
    virtual void handleRunResult(bool res);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    // Counts runs, so that results and progress of a reset run are told apart.
    quint64 m_RunNumber;
};
