// cohortsplit: how a staged rollout of vxserver splits clients. Asks the
// version service once from each of ADDRESSES loopback source addresses
// (127.2.0.1 onwards, one socket bound to each, one at a time) and counts
// the distinct answers; a second round from the first 1000 addresses checks
// that each gets the same answer again.
//   cohortsplit PORT [ADDRESSES]   (default 10000, at most 1000000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

// The answer to one version query sent from `source`; empty when none came
// within two seconds.
std::string ask(uint32_t source, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::string();
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(source);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    char buffer[512];
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0
        && ::sendto(fd, "3", 2, 0, reinterpret_cast<sockaddr*>(&server), sizeof server) == 2) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 2000) == 1) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n >= 0)
                answer.assign(buffer, size_t(n));
        }
    }
    ::close(fd);
    return answer;
}

} // namespace

int main(int argc, char** argv)
{
    const int port = argc > 1 ? std::atoi(argv[1]) : 0;
    const long addresses = argc > 2 ? std::atol(argv[2]) : 10000;
    if (port < 1 || port > 65535 || addresses < 1 || addresses > 1000000) {
        std::fprintf(stderr, "usage: cohortsplit PORT [ADDRESSES]\n");
        return 2;
    }
    const uint32_t first = (127u << 24) | (2u << 16) | 1u;
    std::vector<std::string> answers;
    std::map<std::string, long> counts;
    for (long i = 0; i < addresses; ++i) {
        answers.push_back(ask(first + uint32_t(i), uint16_t(port)));
        ++counts[answers.back()];
    }
    long changed = 0;
    const long again = addresses < 1000 ? addresses : 1000;
    for (long i = 0; i < again; ++i)
        changed += ask(first + uint32_t(i), uint16_t(port)) != answers[size_t(i)];
    for (const auto& [answer, count] : counts)
        std::printf("%7ld  %6.2f %%  %s\n", count, 100.0 * double(count) / double(addresses),
                    answer.empty() ? "(no answer)" : answer.c_str());
    std::printf("%ld addresses; asked again from %ld: %ld different answers\n", addresses, again, changed);
    return changed == 0 && counts.count(std::string()) == 0 ? 0 : 1;
}
