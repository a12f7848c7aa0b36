#pragma once
// The install sub-task that deletes what the product ini lists for deletion.
// Until installing exists it is a stand-in that ends at once, finished.

#include "downloadreplacelists.h"
#include "taskspecification.h"

class Configuration;

class FileDeleteListTaskSpecification final : public TaskSpecification
{
    Q_OBJECT

public:
    FileDeleteListTaskSpecification(QList<DeleteItem>* deleteList, Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;

private:
    QList<DeleteItem>* m_List;
    Configuration* m_Config;
};
