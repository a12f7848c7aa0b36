#pragma once
// The last step of a client update: deletes, one after another, every path
// the product ini's "delete" section names that exists in the installation.
// Every deletion is non-strict, so the step always finishes unless cancelled.
// Given a journal on disk, deletions are moves into it, journalled first, so
// that they can be undone until the session ends.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"
#include "rollback.h"

class Configuration;
class InstallJournal;

class FileDeleteListTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<DeleteItem>* deleteList, Configuration* config, QObject* parent,
                                    qreal weight, InstallJournal* disk = nullptr);

public slots:
    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QList<DeleteItem>* m_DeleteList;
    RollbackDataList m_Journal;
    Configuration* m_Config;
};
