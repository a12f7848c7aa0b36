#pragma once
// A quick file operation (create a directory, rename, delete) run in the GUI
// thread: execute() calls doOp() and ends the task before it returns.
// doOp() reports its own failures through message and records what it
// changed with addRollbackData(); with a null journal nothing is recorded.

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

    RollbackDataList* m_RollbackList;
    QString m_Path;
};
