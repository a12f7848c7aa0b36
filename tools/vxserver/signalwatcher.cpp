#include "signalwatcher.h"

#include <QSocketNotifier>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_SignalSockets[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means a stop or reload is already pending; nothing more to say.
    [[maybe_unused]] const ssize_t written = ::write(g_SignalSockets[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(QObject* parent)
    : QObject(parent)
{
}

SignalWatcher::~SignalWatcher()
{
    if (m_Notifier == nullptr)
        return;
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGHUP, SIG_DFL);
    ::close(g_SignalSockets[0]);
    ::close(g_SignalSockets[1]);
    g_SignalSockets[0] = g_SignalSockets[1] = -1;
}

bool SignalWatcher::install(QString* error)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_SignalSockets) != 0) {
        *error = QStringLiteral("cannot create the signal socket pair: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_Notifier = new QSocketNotifier(g_SignalSockets[1], QSocketNotifier::Read, this);
    connect(m_Notifier, &QSocketNotifier::activated, this, &SignalWatcher::onActivated);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        if (::sigaction(signalNumber, &action, nullptr) != 0) {
            *error = QStringLiteral("cannot handle signal %1: %2")
                         .arg(signalNumber)
                         .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    }
    return true;
}

void SignalWatcher::onActivated()
{
    unsigned char byte = 0;
    while (::read(g_SignalSockets[1], &byte, 1) == 1) {
        if (byte == SIGHUP)
            emit reloadRequested();
        else
            emit stopRequested(byte);
    }
}
