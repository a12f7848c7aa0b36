#pragma once
// A real server program (nginx, tinyproxy) run by a test on 127.0.0.1: its
// own process in the foreground, its own files in a directory of the test,
// never a system service. The constructor starts nothing; start() renders the
// configuration, starts the program and waits until its port accepts
// connections; the destructor stops it with SIGTERM and waits.

#include <QProcess>
#include <QString>
#include <QStringList>

// A TCP port on 127.0.0.1 that was free a moment ago.
quint16 freeTcpPort();

// `text` with every "@NAME@" of `values` replaced.
QString renderTemplate(QString text, const QList<QPair<QString, QString>>& values);

class LocalServer final
{
public:
    LocalServer() = default;
    ~LocalServer();
    LocalServer(const LocalServer&) = delete;
    LocalServer& operator=(const LocalServer&) = delete;

    // Runs `program` with `arguments` and waits until 127.0.0.1:`port`
    // accepts a connection. False (with the program's output and `logFile`
    // in failureText()) when it exits first or the deadline passes.
    bool start(const QString& program, const QStringList& arguments, quint16 port,
               const QString& logFile = QString());
    void stop();
    quint16 port() const;
    QString failureText() const;

private:
    QProcess m_Process;
    quint16 m_Port = 0;
    QString m_Failure;
};

// nginx with the site template of packaging/nginx, serving `root` from a
// private instance whose files live in `dir`. With a certificate and key the
// site speaks TLS; without `ranges` it ignores range requests.
bool startNginx(LocalServer* server, const QString& dir, const QString& root,
                const QString& certificate = QString(), const QString& key = QString(),
                bool ranges = true);
// tinyproxy accepting clients from 127.0.0.1 only, its files in `dir`
// ("tinyproxy.log" records every request).
bool startTinyproxy(LocalServer* server, const QString& dir);
