#include "localserver.h"

#include "testfiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const int kStartDeadlineMs = 15000;

QString templateText(const char* name)
{
    return QString::fromUtf8(readFile(QStringLiteral(VX_NGINX_TEMPLATE_DIR "/") + QLatin1String(name)));
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

quint16 freeTcpPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString renderTemplate(QString text, const QList<QPair<QString, QString>>& values)
{
    for (const auto& value : values)
        text.replace(QLatin1Char('@') + value.first + QLatin1Char('@'), value.second);
    return text;
}

LocalServer::~LocalServer()
{
    stop();
}

bool LocalServer::start(const QString& program, const QStringList& arguments, quint16 port,
                        const QString& logFile)
{
    m_Port = port;
    m_Process.setProcessChannelMode(QProcess::MergedChannels);
    m_Process.start(program, arguments);
    if (!m_Process.waitForStarted(kStartDeadlineMs)) {
        m_Failure = program + QStringLiteral(": ") + m_Process.errorString();
        return false;
    }
    QDeadlineTimer deadline(kStartDeadlineMs);
    while (!deadline.hasExpired()) {
        if (m_Process.state() != QProcess::Running)
            break;
        if (accepts(port))
            return true;
        m_Process.waitForFinished(20);
    }
    m_Failure = program + QStringLiteral(" did not start: ") + QString::fromLocal8Bit(m_Process.readAll());
    if (!logFile.isEmpty())
        m_Failure += QString::fromLocal8Bit(readFile(logFile));
    stop();
    return false;
}

void LocalServer::stop()
{
    if (m_Process.state() == QProcess::NotRunning)
        return;
    m_Process.terminate();
    if (!m_Process.waitForFinished(kStartDeadlineMs)) {
        m_Process.kill();
        m_Process.waitForFinished();
    }
}

quint16 LocalServer::port() const
{
    return m_Port;
}

QString LocalServer::failureText() const
{
    return m_Failure;
}

bool startNginx(LocalServer* server, const QString& dir, const QString& root, const QString& certificate,
                const QString& key, bool ranges)
{
    const quint16 port = freeTcpPort();
    const bool tls = !certificate.isEmpty();
    QString tlsLines;
    if (tls)
        tlsLines =
            QStringLiteral("    ssl_certificate %1;\n    ssl_certificate_key %2;").arg(certificate, key);
    QString site = renderTemplate(templateText("update-site.conf.in"),
                             {{"LISTEN", QStringLiteral("127.0.0.1:%1%2").arg(port).arg(tls ? " ssl" : "")},
                              {"SERVER_NAME", QStringLiteral("localhost")},
                              {"TLS", tlsLines},
                              {"ROOT", root}});
    if (!ranges)
        site.replace(QStringLiteral("max_ranges 1;"), QStringLiteral("max_ranges 0;"));
    writeFile(dir + QStringLiteral("/site.conf"), site.toUtf8());
    writeFile(dir + QStringLiteral("/nginx.conf"),
              renderTemplate(templateText("private-instance.conf.in"), {{"PREFIX", dir}}).toUtf8());
    return server->start(QStringLiteral("nginx"),
                         {"-p", dir, "-c", dir + "/nginx.conf", "-e", dir + "/error.log"}, port,
                         dir + QStringLiteral("/error.log"));
}

bool startTinyproxy(LocalServer* server, const QString& dir)
{
    const quint16 port = freeTcpPort();
    writeFile(dir + QStringLiteral("/tinyproxy.conf"),
              QStringLiteral("Port %1\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\n"
                             "Allow 127.0.0.1\nLogLevel Info\n"
                             "LogFile \"%2/tinyproxy.log\"\nPidFile \"%2/tinyproxy.pid\"\n")
                  .arg(port)
                  .arg(dir)
                  .toUtf8());
    return server->start(QStringLiteral("tinyproxy"), {"-d", "-c", dir + "/tinyproxy.conf"}, port,
                         dir + QStringLiteral("/tinyproxy.log"));
}
