#pragma once
// A scripted UDP server on 127.0.0.1 for tests, running in a thread of its own
// so that code under test may block on its socket. The n-th datagram received
// is answered with the n-th scripted reply; a null entry, or running past the
// end of the script, leaves that request unanswered; delayReply() makes a
// reply come late.
//
// It listens on a free port and points the updater's queries of its service
// there (VX3_UPDATE_SERVER_PORT or VX3_BANNER_SERVER_PORT), so that tests run
// side by side. pointUdpQueriesAtFreePorts() sends both kinds of query where
// nothing answers, for tests that only need silence.

#include <QByteArray>
#include <QList>

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

enum class UdpService { Version, Banner };

// Sets both port overrides to UDP ports that were free a moment ago.
void pointUdpQueriesAtFreePorts();
// A UDP port on 127.0.0.1 that was free a moment ago.
quint16 freeUdpPort();
// Points the queries of `service` at `port`.
void pointUdpQueriesAt(UdpService service, quint16 port);

class UdpResponder final
{
public:
    UdpResponder(UdpService service, std::vector<std::optional<QByteArray>> replies);
    ~UdpResponder();
    UdpResponder(const UdpResponder&) = delete;
    UdpResponder& operator=(const UdpResponder&) = delete;

    // False when the port could not be bound.
    bool isListening() const;
    quint16 port() const;
    // Every datagram received so far, in order.
    QList<QByteArray> requests() const;
    // From now on every request is first answered with `datagram` from a
    // second socket on another port: another user of the machine who saw
    // the request and answers ahead of the server.
    void forgeAnswers(const QByteArray& datagram);
    // The reply to request `index` (from 0) goes out `ms` after the request
    // came: too late for a client that waits less. Call before it comes.
    void delayReply(size_t index, int ms);

private:
    struct Due
    {
        std::chrono::steady_clock::time_point at;
        QByteArray datagram;
        sockaddr_in peer;
    };

    void serve();
    // Sends the delayed replies whose time has come.
    void sendDue();

    int m_Fd = -1;
    quint16 m_Port = 0;
    std::vector<std::optional<QByteArray>> m_Replies;
    mutable std::mutex m_Mutex;
    QList<QByteArray> m_Requests;
    int m_ForgerFd = -1;
    QByteArray m_Forged;
    std::vector<int> m_DelaysMs;
    std::vector<Due> m_Due; // the serving thread's own
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};
