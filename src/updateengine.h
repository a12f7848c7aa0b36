#pragma once
// Runs one update session for the window: prepares it from the session record
// (continuing or cleaning up an earlier one), owns the process's one network
// access manager, creates and starts the main task, turns the task tree's
// signals into its own, reports download progress and speed (bytes fetched
// per second of the time since the last report) once a second,
// removes the session's files after success and fetches the optional banner.
// The session directory stays locked while the engine lives; when a session
// starts, the directories of other sessions that died or were abandoned are
// removed (SessionDirectory).
//
// States: PRE_INIT -initialize()-> POST_INIT -startUpdate()-> RUNNING, which
// ends in FINISHED (final) or CANCELED; resetAfterCancel() leads back to
// PRE_INIT. Calling an operation in the wrong state is a programming error.
//
// GUI thread only.

#include "sessiondirectory.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

class Configuration;
class MainTaskSpecification;
class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

class UpdateEngine final : public QObject
{
    Q_OBJECT

public:
    enum State { PRE_INIT = 0, POST_INIT = 1, RUNNING = 2, FINISHED = 3, CANCELED = 4 };

    UpdateEngine(Configuration* config, QObject* parent);
    ~UpdateEngine() override;

    bool initialize();
    bool startUpdate();
    bool isActive() const;
    void resetAfterCancel();
    void getBanner();
    int state() const;
    QNetworkAccessManager* networkAccessManager() const;
    // The progress tick, 1000 ms, drives the stall time-out of downloads (16
    // silent ticks). Tests shorten it to see a stall end a session quickly;
    // takes effect at startUpdate().
    void setTickIntervalForTests(int ms);

signals:
    void fatalError(QString errorMessage);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void downloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void message(QString message);
    void updateFinished();
    void updateCanceled();
    void bannerFound(QByteArray bannerImage, QString clickUrl);

public slots:
    void cancelUpdate();

private slots:
    void onTimer();
    void onTaskFinished();
    void onTaskCanceled();
    void onBannerFound(QString bannerUrl, QString clickUrl);
    void onBannerDownloadFinished();
    void onBannermetaDataChanged();
    void onBannerDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);

private:
    void setUpProxy();
    void setUpTrustedAuthorities();
    void cleanup();
    // Checks the recorded session against this run; clears what must not be used.
    void checkRecordedSession(int recordedVersion, QString* tempDir, QString* installDir);
    // Settles and locks the session directory, then sweeps stale ones.
    bool takeSessionDirectory(QString tempDir, const QString& installDir);
    void removeSessionDirectory(const QString& dir, bool reportResult);
    void dropBannerReply();
    void forgetMainTask();

    int m_State;
    Configuration* m_Config;
    MainTaskSpecification* p_MainTask;
    QTimer* m_Timer;
    QElapsedTimer m_SinceTick;
    QNetworkAccessManager* m_Nam;
    QString m_BannerClickUrl;
    QNetworkReply* p_BannerReply;
    bool m_BannerLookupRunning;
    int m_TickIntervalMs;
    SessionDirectory m_SessionDir;
};
