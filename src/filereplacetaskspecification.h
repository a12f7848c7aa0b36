#pragma once
// Installs one replace item into the installation and verifies it: a plain
// download is copied, a packed one unpacked, a patch applied to the installed
// file; unpacked and patched results are checked against their SHA-512.
//
// The new file is produced and checked under a name of its own (in the
// journal directory when the list's journal stands on one, otherwise in the
// temporary directory as target name + "#new"), then one rename puts it in
// place while the original is kept (FilePlaceTaskSpecification). The
// installed path therefore holds the whole old or the whole new file at
// every moment, and a failure before the rename leaves it untouched.
//
// On success this file's journal moves into the list's journal; on failure
// it is undone at once.

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

    ReplaceItem m_Item;
    RollbackDataList* m_ListJournal;
    RollbackDataList m_Journal;
    Configuration* m_Config;
};
