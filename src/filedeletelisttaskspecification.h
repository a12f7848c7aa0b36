#pragma once
// The last step of a client update: deletes, one after another, every path
// the product ini's "delete" section names that exists in the installation.
// Every deletion is non-strict, so the step always finishes unless cancelled.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;

class FileDeleteListTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<DeleteItem>* deleteList, Configuration* config, QObject* parent,
                                    qreal weight);

public slots:
    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QList<DeleteItem>* m_DeleteList;
    Configuration* m_Config;
};
