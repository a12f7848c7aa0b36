#pragma once
// Turns SIGTERM and SIGINT (stop) and SIGHUP (reload) into Qt signals in the
// event loop. The handler
// only writes the signal number to a socket pair (the one thing a handler may
// safely do); a notifier on the other end reads it in the event loop.
// One watcher per process.

#include <QObject>

class QSocketNotifier;

class SignalWatcher final : public QObject
{
    Q_OBJECT

public:
    explicit SignalWatcher(QObject* parent);
    ~SignalWatcher() override;

    // False with the reason when the socket pair or a handler cannot be set up.
    bool install(QString* error);

signals:
    void stopRequested(int signalNumber);
    void reloadRequested();

private:
    void onActivated();

    QSocketNotifier* m_Notifier = nullptr;
};
