#pragma once
// The install step of an updater update: builds the complete new updater in
// the session's temporary directory. Unchanged files were copied there while
// the lists were built and plain downloads already lie there under their
// names; packed files are unpacked and patches applied there, two at a time,
// without a journal (nothing outside the temporary directory changes). Then,
// whatever happened, the new updater is made executable, the session record
// is written for it and the translations are copied next to it.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;

class UpdateSelfUnzipTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    UpdateSelfUnzipTaskSpecification(QList<ReplaceItem>* replaceList, Configuration* config, QObject* parent,
                                     qreal weight);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    void copyTranslations();

    QList<ReplaceItem>* m_ReplaceList;
    Configuration* m_Config;
};
