#pragma once
// Installs one replace item into the installation and verifies it: a plain
// download is copied, a packed one unpacked, a patch applied to the installed
// file; unpacked and patched results are checked against their SHA-512.
//
// An installed file that is about to be replaced is first moved aside into
// the temporary directory (target name + "_old"), journalled as a rename, so
// that undoing the step puts the old file back instead of leaving the
// installation without it. The patch reads that moved copy as its old file.
//
// On success this file's journal moves into the list's journal, and programs
// and libraries get their permissions; on failure a partial output is removed
// and the journal is undone at once.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"
#include "rollback.h"

class Configuration;

class FileReplaceTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceTaskSpecification(const ReplaceItem& item, RollbackDataList* listJournal, Configuration* config,
                                 QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();
    void removePartialOutput();

    ReplaceItem m_Item;
    RollbackDataList* m_ListJournal;
    RollbackDataList m_Journal;
    Configuration* m_Config;
};
