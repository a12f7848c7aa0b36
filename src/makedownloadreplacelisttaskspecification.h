#pragma once
// Builds the download, replace and delete lists of a session from the
// verified product ini (see MakeDownloadReplaceListFunc) on a pool thread.
// The work fills the task's own lists; only after success, and in the GUI
// thread, are they copied into the main task's shared lists, so nobody ever
// sees half-built lists and a failure leaves the shared lists as they were.

#include "asynctaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;

class MakeDownloadReplaceListTaskSpecification final : public ASyncTaskSpecification
{
    Q_OBJECT

public:
    MakeDownloadReplaceListTaskSpecification(Configuration* config, DownloadReplaceLists* lists,
                                             QObject* parent, qreal weight);

protected:
    ASyncFunc* createFunc() override;
    void handleRunResult(bool res) override;

private:
    Configuration* m_Config;
    DownloadReplaceLists* m_SharedLists;
    DownloadReplaceLists m_OwnLists;
};
