#include "externalsigner.h"

#include "fileio.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace vxpublish {

namespace {

constexpr size_t kMaxSignature = 64 * 1024;

// Closes on every way out.
struct Descriptor
{
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Starts "/bin/sh -c command" reading `in` and writing into a pipe; its
// read end goes to `out`.
bool startSigner(const std::string& command, const Descriptor& in, Descriptor& out, pid_t& pid,
                 std::string& reason)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    out.fd = pipeFds[0];
    Descriptor writeEnd;
    writeEnd.fd = pipeFds[1];
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.fd, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.fd, 1);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    const int spawned = posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        reason = std::strerror(spawned);
        return false;
    }
    return true;
}

// Reads the signer's output to its end; false when it is longer than any
// signature (the rest is read and dropped, so the signer never blocks).
bool readSignature(int fd, Bytes& signature)
{
    signature.clear();
    unsigned char buffer[4096];
    bool tooLong = false;
    for (;;) {
        const ssize_t n = readSome(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (signature.size() + static_cast<size_t>(n) > kMaxSignature)
            tooLong = true;
        else
            signature.insert(signature.end(), buffer, buffer + n);
    }
    return !tooLong;
}

// "exit status N" or "killed by signal N"; empty for a clean exit.
std::string waitForSigner(pid_t pid)
{
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return std::string();
    return WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                             : "killed by signal " + std::to_string(WTERMSIG(status));
}

} // namespace

bool runSigner(const std::string& command, const Bytes& data, const std::string& scratchDir, Bytes& signature,
               std::string& reason)
{
    const std::string named = "the signer '" + command + "'";
    // The data goes in as a file: a command that writes before it has read
    // everything cannot block on a full pipe.
    const std::string input = scratchDir + "/signer-input";
    if (!writeNewFile(input, data, 0600, reason))
        return false;
    Descriptor in;
    in.fd = ::open(input.c_str(), O_RDONLY | O_CLOEXEC);
    ::unlink(input.c_str());
    Descriptor out;
    pid_t pid = -1;
    if (in.fd < 0) {
        reason = "cannot start " + named + ": " + std::strerror(errno);
        return false;
    }
    if (!startSigner(command, in, out, pid, reason)) {
        reason = "cannot start " + named + ": " + reason;
        return false;
    }
    const bool whole = readSignature(out.fd, signature);
    const std::string failure = waitForSigner(pid);
    if (!failure.empty()) {
        reason = named + " failed (" + failure + ")";
        return false;
    }
    if (!whole) {
        reason = named + " wrote more than " + std::to_string(kMaxSignature) + " bytes";
        return false;
    }
    return true;
}

} // namespace vxpublish
