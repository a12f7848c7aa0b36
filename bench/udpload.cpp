// udpload: a bounded UDP load generator for the version and banner services,
// on 127.0.0.1 only. Several sockets each keep a window of requests in
// flight and send a new one for every answer, for a fixed time; a window
// that gets no answer for 200 ms is counted as lost and refilled.
//   udpload PORT [version|news|banner] [SECONDS] [SOCKETS] [WINDOW]
// Prints requests sent, answers received and answers per second.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Flow
{
    int fd = -1;
    int inFlight = 0;
    Clock::time_point lastAnswer;
};

int argument(int argc, char** argv, int index, int fallback, int low, int high)
{
    if (argc <= index)
        return fallback;
    const int value = std::atoi(argv[index]);
    if (value < low || value > high) {
        std::fprintf(stderr, "udpload: argument %d must be %d..%d\n", index, low, high);
        std::exit(2);
    }
    return value;
}

// The two bytes of a request of `kind`; false for an unknown kind.
bool requestOf(const std::string& kind, char request[2])
{
    if (kind == "version") {
        request[0] = '3';
        request[1] = 0;
    } else if (kind == "news") {
        request[0] = '*';
        request[1] = 0;
    } else if (kind == "banner") {
        request[0] = 1;
        request[1] = 1;
    } else {
        return false;
    }
    return true;
}

// One socket a flow, each connected to the port on 127.0.0.1.
bool openFlows(int port, std::vector<Flow>& flows, std::vector<pollfd>& polls)
{
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (Flow& flow : flows) {
        flow.fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (flow.fd < 0 || connect(flow.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
            std::perror("udpload: socket");
            return false;
        }
        polls.push_back({flow.fd, POLLIN, 0});
    }
    return true;
}

struct Counts
{
    long long sent = 0;
    long long answered = 0;
    long long lost = 0;
};

// Keeps `window` requests in flight on every flow until `end`.
bool runLoad(std::vector<Flow>& flows, std::vector<pollfd>& polls, const char request[2], int window,
             Clock::time_point end, Counts& counts)
{
    const auto refill = [&](Flow& flow) {
        while (flow.inFlight < window) {
            if (send(flow.fd, request, 2, 0) != 2)
                break;
            ++flow.inFlight;
            ++counts.sent;
        }
    };
    for (Flow& flow : flows) {
        flow.lastAnswer = Clock::now();
        refill(flow);
    }
    char reply[4096];
    while (Clock::now() < end) {
        if (poll(polls.data(), polls.size(), 50) < 0) {
            std::perror("udpload: poll");
            return false;
        }
        const auto now = Clock::now();
        for (size_t i = 0; i < flows.size(); ++i) {
            Flow& flow = flows[i];
            if (polls[i].revents & POLLIN) {
                while (recv(flow.fd, reply, sizeof reply, MSG_DONTWAIT) > 0) {
                    ++counts.answered;
                    if (flow.inFlight > 0)
                        --flow.inFlight;
                    flow.lastAnswer = now;
                }
            } else if (now - flow.lastAnswer > std::chrono::milliseconds(200)) {
                counts.lost += flow.inFlight;
                flow.inFlight = 0;
                flow.lastAnswer = now;
            }
            refill(flow);
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: udpload PORT [version|news|banner] [SECONDS] [SOCKETS] [WINDOW]\n");
        return 2;
    }
    const int port = argument(argc, argv, 1, 17384, 1, 65535);
    const std::string kind = argc > 2 ? argv[2] : "version";
    const int seconds = argument(argc, argv, 3, 3, 1, 60);
    const int sockets = argument(argc, argv, 4, 4, 1, 64);
    const int window = argument(argc, argv, 5, 32, 1, 1024);
    char request[2];
    if (!requestOf(kind, request)) {
        std::fprintf(stderr, "udpload: unknown request kind '%s'\n", kind.c_str());
        return 2;
    }
    std::vector<Flow> flows(static_cast<size_t>(sockets));
    std::vector<pollfd> polls;
    if (!openFlows(port, flows, polls))
        return 1;
    Counts counts;
    const auto start = Clock::now();
    if (!runLoad(flows, polls, request, window, start + std::chrono::seconds(seconds), counts))
        return 1;
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    for (Flow& flow : flows)
        close(flow.fd);
    std::printf("%s requests: %lld sent, %lld answered, %lld counted lost, %.0f answers/s over %.1f s "
                "(%d sockets, window %d)\n",
                kind.c_str(), counts.sent, counts.answered, counts.lost, double(counts.answered) / elapsed,
                elapsed, sockets, window);
    return counts.answered > 0 ? 0 : 1;
}
