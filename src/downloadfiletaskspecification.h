#pragma once
// One listed file: its download into the temporary directory followed by the
// SHA-512 check against the product ini. A file whose hash does not match is
// removed at once and never handed on: the mismatch counts as a failed
// attempt of that file, which is downloaded again within the download's five
// attempts in all; after the last one the task fails with
// "Unable to download %1". A cancel request or a failed sibling during the
// check ends the task (aborted or failed) instead of a new attempt.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class CheckSignatureTaskSpecification;
class Configuration;
class DownloadTaskSpecification;
class QNetworkAccessManager;

class DownloadFileTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileTaskSpecification(const DownloadItem& entry, QNetworkAccessManager* nam,
                                  Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;
    void subtasksDone() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    // attemptsUsed: failed attempts of earlier rounds of this run.
    void makeSubtasksAndStart(int attemptsUsed);
    QString relativeName() const;
    QString targetPath() const;

    DownloadItem m_Entry;
    QNetworkAccessManager* m_Nam;
    Configuration* m_Config;
    DownloadTaskSpecification* m_Download;
    bool m_CheckFailed;
    bool m_OtherTaskCancelled;
};
