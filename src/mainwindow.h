#pragma once
// The updater's window: what is being updated and to which version. It shows
// configuration errors and ends the process with exit code 1 after them.

#include <QWidget>

class Configuration;
class QLabel;

class MainWindow final : public QWidget
{
    Q_OBJECT

public:
    explicit MainWindow(Configuration* config);

    void updateVersionLabel();
    void updateNews();

    // The label's rich text for a configuration, as updateVersionLabel sets it.
    static QString versionLabelText(const Configuration& config);

public slots:
    // Starts the session; the entry function's start timer calls it.
    void onStartUpdate();

private slots:
    void onFatalConfigError(QString errorMessage);

private:
    Configuration* m_Config;
    QLabel* m_VersionLabel;
};
