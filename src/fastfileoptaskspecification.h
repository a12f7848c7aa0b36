#pragma once
// A quick file operation (create a directory, rename, delete) run in the GUI
// thread: execute() calls doOp() and ends the task before it returns.
// doOp() reports its own failures through message and records what it
// changed with addRollbackData(); with a null journal nothing is recorded.
// When the journal stands on a journal on disk, doOp() announces each change
// there before making it (announce()) and marks it durable afterwards
// (madeDurable()), so that a session killed between any two steps can be
// undone by the next start.

#include "rollback.h"
#include "taskspecification.h"

class FastFileOpTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                QObject* parent, qreal weight);

public slots:
    void execute() override;

protected:
    // True on success.
    virtual bool doOp() = 0;
    void addRollbackData(const RollbackData& data);
    // Writes `data` ahead to the journal on disk, if there is one; a failure
    // is reported as a message and the change must not be made.
    bool announce(const RollbackData& data);
    // True when changes go to a journal on disk.
    bool journalled() const;
    // After a change of `path` that must survive a crash: flushes the
    // directory entry and counts one journalled step.
    void madeDurable(const QString& path) const;

    RollbackDataList* m_RollbackList;
    QString m_Path;
};
