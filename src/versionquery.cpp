#include "versionquery.h"

#include "serverreplies.h"
#include "updateserveraddress.h"

#include <QByteArray>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace {

// Closes the socket on every path out of query().
class UdpSocket final
{
public:
    UdpSocket() : m_Fd(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {}
    ~UdpSocket()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    int fd() const { return m_Fd; }

private:
    int m_Fd;
};

bool resolveServer(sockaddr_in* address)
{
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* results = nullptr;
    const QByteArray host = UpdateServerAddress::host().toUtf8();
    if (::getaddrinfo(host.constData(), nullptr, &hints, &results) != 0 || !results)
        return false;
    bool found = false;
    if (results->ai_addrlen >= sizeof(sockaddr_in)) {
        std::memcpy(address, results->ai_addr, sizeof(sockaddr_in));
        address->sin_port = htons(UpdateServerAddress::versionPort());
        found = true;
    }
    ::freeaddrinfo(results);
    return found;
}

// A connected datagram socket takes datagrams from the server's address and
// port only: the kernel drops what anyone else sends to it, so another user
// of the machine cannot slip in a reply ahead of the server.
bool connectToServer(int fd, const sockaddr_in& server)
{
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0;
}

bool sendRequest(int fd, char what)
{
    const char request[2] = {what, 0};
    return ::send(fd, request, sizeof request, 0) > 0;
}

// One datagram, at most `limit` bytes of it.
bool receiveReply(int fd, int limit, QByteArray* reply)
{
    QByteArray buffer(limit, '\0');
    const ssize_t received = ::recv(fd, buffer.data(), size_t(limit), 0);
    if (received < 0)
        return false;
    buffer.truncate(static_cast<int>(received));
    *reply = buffer;
    return true;
}

} // namespace

bool VersionQuery::query()
{
    m_Entries.clear();

    UdpSocket socket;
    if (socket.fd() < 0)
        return false;
    sockaddr_in server;
    std::memset(&server, 0, sizeof server);
    if (!resolveServer(&server) || !connectToServer(socket.fd(), server))
        return false;

    if (!sendRequest(socket.fd(), '3'))
        return false;
    timeval timeout;
    timeout.tv_sec = m_ReceiveTimeoutMs / 1000;
    timeout.tv_usec = (m_ReceiveTimeoutMs % 1000) * 1000;
    ::setsockopt(socket.fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    QByteArray versions;
    if (!receiveReply(socket.fd(), ServerReplies::kVersionLimit, &versions))
        return false;
    m_Entries = ServerReplies::versionEntries(versions);
    m_VersionText = ServerReplies::versionText(versions);

    if (!sendRequest(socket.fd(), '*'))
        return false;
    QByteArray news;
    if (!receiveReply(socket.fd(), ServerReplies::kNewsLimit, &news))
        return false;
    m_NewsText = ServerReplies::newsText(news);
    return true;
}

int VersionQuery::receiveTimeoutMs() const
{
    return m_ReceiveTimeoutMs;
}

void VersionQuery::setReceiveTimeoutMs(int ms)
{
    m_ReceiveTimeoutMs = ms;
}

QPair<QString, QString> VersionQuery::entryAt(int index) const
{
    if (index < 0 || index >= m_Entries.size())
        return {};
    return m_Entries.at(index);
}

QByteArray VersionQuery::versionText() const
{
    return m_VersionText;
}

QString VersionQuery::newsText() const
{
    return m_NewsText;
}
