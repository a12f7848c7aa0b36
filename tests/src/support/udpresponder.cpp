#include "udpresponder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// A socket bound to a free port on 127.0.0.1, or -1.
int bindFreePort(quint16* port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return -1;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

} // namespace

quint16 freeUdpPort()
{
    quint16 port = 0;
    const int fd = bindFreePort(&port);
    if (fd >= 0)
        ::close(fd);
    return port;
}

void pointUdpQueriesAt(UdpService service, quint16 port)
{
    qputenv(service == UdpService::Version ? "VX3_UPDATE_SERVER_PORT" : "VX3_BANNER_SERVER_PORT",
            QByteArray::number(port));
}

void pointUdpQueriesAtFreePorts()
{
    pointUdpQueriesAt(UdpService::Version, freeUdpPort());
    pointUdpQueriesAt(UdpService::Banner, freeUdpPort());
}

UdpResponder::UdpResponder(UdpService service, std::vector<std::optional<QByteArray>> replies)
    : m_Replies(std::move(replies))
{
    m_Fd = bindFreePort(&m_Port);
    if (m_Fd < 0)
        return;
    pointUdpQueriesAt(service, m_Port);
    m_Thread = std::thread(&UdpResponder::serve, this);
}

quint16 UdpResponder::port() const
{
    return m_Port;
}

UdpResponder::~UdpResponder()
{
    m_Stop = true;
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_Fd >= 0)
        ::close(m_Fd);
    if (m_ForgerFd >= 0)
        ::close(m_ForgerFd);
}

void UdpResponder::forgeAnswers(const QByteArray& datagram)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    quint16 port = 0;
    if (m_ForgerFd < 0)
        m_ForgerFd = bindFreePort(&port);
    m_Forged = datagram;
}

void UdpResponder::delayReply(size_t index, int ms)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_DelaysMs.size() <= index)
        m_DelaysMs.resize(index + 1, 0);
    m_DelaysMs[index] = ms;
}

bool UdpResponder::isListening() const
{
    return m_Fd >= 0;
}

QList<QByteArray> UdpResponder::requests() const
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Requests;
}

void UdpResponder::serve()
{
    size_t next = 0;
    while (!m_Stop) {
        // Wake up now and then to notice the stop flag.
        pollfd waiting{m_Fd, POLLIN, 0};
        if (::poll(&waiting, 1, m_Due.empty() ? 50 : 5) <= 0) {
            sendDue();
            continue;
        }
        char buffer[65536];
        sockaddr_in peer;
        socklen_t peerLength = sizeof peer;
        const ssize_t received = ::recvfrom(m_Fd, buffer, sizeof buffer, 0,
                                            reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (received < 0)
            continue;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Requests.append(QByteArray(buffer, static_cast<int>(received)));
            if (m_ForgerFd >= 0)
                ::sendto(m_ForgerFd, m_Forged.constData(), static_cast<size_t>(m_Forged.size()), 0,
                         reinterpret_cast<sockaddr*>(&peer), peerLength);
        }
        const size_t index = next++;
        if (index < m_Replies.size() && m_Replies[index]) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const int delayMs = index < m_DelaysMs.size() ? m_DelaysMs[index] : 0;
            m_Due.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs),
                             *m_Replies[index], peer});
        }
        sendDue();
    }
}

void UdpResponder::sendDue()
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_Due.begin(); it != m_Due.end();) {
        if (it->at > now) {
            ++it;
            continue;
        }
        ::sendto(m_Fd, it->datagram.constData(), static_cast<size_t>(it->datagram.size()), 0,
                 reinterpret_cast<const sockaddr*>(&it->peer), sizeof it->peer);
        it = m_Due.erase(it);
    }
}
