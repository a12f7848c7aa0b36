#pragma once
// The install sub-task that installs the downloaded files into the installation under a journal.
// Until installing exists it is a stand-in that ends at once, finished.

#include "downloadreplacelists.h"
#include "taskspecification.h"

class Configuration;

class FileReplaceListTaskSpecification final : public TaskSpecification
{
    Q_OBJECT

public:
    FileReplaceListTaskSpecification(QList<ReplaceItem>* replaceList, Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;

private:
    QList<ReplaceItem>* m_List;
    Configuration* m_Config;
};
