#pragma once
// The root of one session's task tree. It runs its sub-tasks strictly one
// after another and decides what the session does: both steps fetch and
// verify the product ini, compare it with the installation and download what
// is missing; step one (updating the updater) then builds the new updater in
// the temporary directory, step two (updating the client) installs into the
// installation under a journal and deletes what the ini says.
//
// The sub-tasks talk only through the lists owned here and the files in the
// session's temporary directory.
//
// In step two the main task owns the session's install journal on disk
// (InstallJournal): the install and delete steps write every change there
// first. When all sub-tasks finished, the journal is committed (the kept
// originals go); when anything failed or was cancelled, every journalled
// change is undone, so the installation is exactly as before the session.
// Only once the journal has committed is the installation's trust record
// (TrustState) brought up to date: the version floor from the signed ini's
// binding, the pin of the signed version answer the session came from, and
// the pin of modern signatures when the ini had a valid one.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

#include <memory>

class InstallJournal;

class Configuration;
class QNetworkAccessManager;

class MainTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    MainTaskSpecification(QNetworkAccessManager* nam, Configuration* config, QObject* parent, qreal weight);
    ~MainTaskSpecification() override;

    const DownloadReplaceLists& lists() const;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    // After the commit: the floor and the pins; a failure is only reported.
    void recordTrust();
    QNetworkAccessManager* m_Nam;
    Configuration* m_Config;
    DownloadReplaceLists m_Lists;
    std::unique_ptr<InstallJournal> m_InstallJournal;
};
