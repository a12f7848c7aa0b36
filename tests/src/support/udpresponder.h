#pragma once
// A scripted UDP server on 127.0.0.1 for tests, running in a thread of its own
// so that code under test may block on its socket. The n-th datagram received
// is answered with the n-th scripted reply; a null entry, or running past the
// end of the script, leaves that request unanswered.

#include <QByteArray>
#include <QList>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

class UdpResponder final
{
public:
    UdpResponder(quint16 port, std::vector<std::optional<QByteArray>> replies);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    // False when the port could not be bound.
    bool isListening() const;
    // Every datagram received so far, in order.
    QList<QByteArray> requests() const;

private:
    void serve();

    int m_Fd = -1;
    std::vector<std::optional<QByteArray>> m_Replies;
    mutable std::mutex m_Mutex;
    QList<QByteArray> m_Requests;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};
