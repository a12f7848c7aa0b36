#pragma once
// The install sub-task that builds the new updater in the temporary directory.
// Until installing exists it is a stand-in that ends at once, finished.

#include "downloadreplacelists.h"
#include "taskspecification.h"

class Configuration;

class UpdateSelfUnzipTaskSpecification final : public TaskSpecification
{
    Q_OBJECT

public:
    UpdateSelfUnzipTaskSpecification(QList<ReplaceItem>* replaceList, Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;

private:
    QList<ReplaceItem>* m_List;
    Configuration* m_Config;
};
