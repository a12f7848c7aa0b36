#pragma once
// The install step of an updater update: builds the complete new updater in
// the session's temporary directory. Unchanged files were copied there while
// the lists were built and plain downloads already lie there under their
// names; packed files are unpacked and patches applied there, two at a time,
// without a journal (nothing outside the temporary directory changes). Then,
// whatever happened, the new updater is made executable, the session record
// is written for it and the translations are copied next to it. Before the
// step may succeed, every unpacked or patched file must match the SHA-512
// that the signed product ini lists for it: otherwise the step fails, the
// file is removed and nothing is started.

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
    // Checks every unpacked or patched file against the SHA-512 the signed
    // product ini lists for it; a mismatch is reported and the file removed.
    bool verifyUpdaterFiles();

    QList<ReplaceItem>* m_ReplaceList;
    Configuration* m_Config;
};
