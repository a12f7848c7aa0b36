#pragma once
// The install step of a client update: creates the missing directories, then
// installs the replace items two at a time, all under one journal; each
// item's share of the progress follows its installed size. If any of
// it fails, or the user cancels, everything recorded is undone, newest first:
// installed files go, replaced files come back, created directories go.
// Given a journal on disk, every change is written there before it is made
// (the main task, which owns it, ends it).

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"
#include "rollback.h"

class Configuration;
class InstallJournal;

class FileReplaceListTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    FileReplaceListTaskSpecification(QList<ReplaceItem>* replaceList, Configuration* config, QObject* parent,
                                     qreal weight, InstallJournal* disk = nullptr);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    void makeSubtasksAndStart();

    QList<ReplaceItem>* m_ReplaceList;
    RollbackDataList m_Journal;
    Configuration* m_Config;
};
