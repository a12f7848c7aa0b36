#pragma once
// All listed downloads of a session: creates the subdirectories they need in
// the temporary directory, then runs one DownloadFileTaskSpecification per
// entry, up to the configured number of streams at once, in list order. The
// list belongs to the main task and is read when the task starts, so it may be
// filled after construction. pollDownloadStatus() reports the sum of all
// listed sizes as the total, so the total stays fixed while files start and
// end; each file's share of the progress follows its listed size.

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;
class QNetworkAccessManager;

class DownloadFileListTaskSpecification final : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    DownloadFileListTaskSpecification(QList<DownloadItem>* downloads, QNetworkAccessManager* nam,
                                      Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;
    void pollDownloadStatus(quint64* downloadDone, quint64* downloadTotal, quint64* newBytes,
                            bool* downloading) override;

private:
    bool createTargetDirs();

    QList<DownloadItem>* m_Downloads;
    QNetworkAccessManager* m_Nam;
    Configuration* m_Config;
    qint64 m_TotalBytes;
};
