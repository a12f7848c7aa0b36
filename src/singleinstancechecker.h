#pragma once
// Makes sure only one updater runs per installation and user. The window's
// checker listens on a local socket named "VX3ClientUpdate" and a checksum of
// the program path (letter case ignored) and the home directory; a starting
// updater first hands "#" to that name and ends when someone took it.
//
// The socket lies where only this user can make names: $XDG_RUNTIME_DIR, or
// else the configuration directory; with neither there is no guard. An end
// of a connection is believed only when it runs as this user, on both sides.
//
// A socket name left by a crashed updater is recovered: when the name is
// taken and nobody answers on it, it is removed and listened on again.
// Step two of an update runs from the temporary directory, so it also guards
// the installed updater's name (guardInstalledUpdater), which the client may
// start meanwhile.

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;
class QTimer;

class SingleInstanceChecker final : public QObject
{
    Q_OBJECT

public:
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // Hands `message` to a running updater of this installation and user;
    // true when one took it. Blocks for at most two waits of 1000 ms.
    static bool notifyRunningInstance(const QString& message);

    // The socket path of this program's guard, and of the updater at
    // `programPath`; empty when there is no private place for it.
    static QString serverName();
    static QString serverNameFor(const QString& programPath);
    static QString endpointDirectory();

    // Also listens under the name of the updater of the installation recorded
    // in the session record (update.ini next to the program), when that is
    // another program than this one. While a live updater still holds that
    // name (step one ending), listening is retried once a second for a while.
    void guardInstalledUpdater();

    bool isListening() const;
    bool isGuardingInstalledUpdater() const;

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();
    void onRetryInstalledUpdater();

private:
    static bool listenRecovering(QLocalServer* server, const QString& name);

    QLocalServer* m_Server;
    QLocalSocket* m_Socket = nullptr;
    QLocalServer* m_InstallServer = nullptr;
    QString m_InstallName;
    QTimer* m_RetryTimer = nullptr;
    int m_RetriesLeft = 0;
};
