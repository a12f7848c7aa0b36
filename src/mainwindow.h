#pragma once
// The updater's only window: what is updated to which version, the news
// ticker, the optional banner, the overall progress (while files arrive with
// the bytes fetched of all and the speed) and the log behind "Details". It
// owns the update engine and the single-instance guard, starts
// the session, asks before an update is abandoned, starts the next program
// 1000 ms after success, and reports failures: engine errors in a box (the
// update goes on), fatal errors with exit code 2, configuration errors with
// exit code 1. It caches a shown banner for the second step and deletes that
// cache when the second step closes. Every log line and box text also goes to
// the diagnostics file.
//
// Unattended ("--unattended"), the window stays hidden and shows no box: box
// texts go to the log, a failed session ends the process with a failure
// status, and step one waits for step two and ends with its status
// (UnattendedRun).

// The generated form; it also declares Ui::MainWindow on top of Ui_MainWindow.
#include "ui_mainwindow.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class Configuration;
class SingleInstanceChecker;
class UpdateEngine;

class MainWindow final : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(Configuration* config);

    // Called by the entry function once the command line has been read.
    void updateVersionLabel();
    // Called by the entry function after show().
    void updateNews();
    // The start-up recovery's lines go to the log; a journal that could not
    // be used is also shown as an error once the window is up.
    void showRecoveryReport(const QStringList& lines, bool problem);

    // The label's rich text for a configuration, as updateVersionLabel sets it.
    static QString versionLabelText(const Configuration& config);

public slots:
    // Starts the session; the entry function's start timer calls it.
    void onStartUpdate();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void onStartNewUpdater();
    void onStartVX3Client();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed, bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();

private:
    void centreOnScreen();
    // A critical box; its text always reaches the diagnostics file. Unattended
    // there is no box, the text goes to the log instead.
    void critical(QWidget* parent, const QString& title, const QString& text);
    // Unattended step one: runs the new updater (StepTwoRun) and ends with
    // the status of the whole update.
    void runStepTwo(const QStringList& arguments);

    Ui::MainWindow ui;
    Configuration* m_Config;
    UpdateEngine* m_Engine;
    bool m_Finished = false;
    bool m_CloseRequested = false;
    SingleInstanceChecker* m_Checker = nullptr;
};
