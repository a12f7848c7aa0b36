#include "artifactcache.h"

#include "fileio.h"
#include "sha512.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vxpublish {

namespace {

const char kMagic[] = "vxpublish-cache 1";
const char kTempPrefix[] = ".tmp-";

// Closes on every way out.
class Fd final
{
public:
    explicit Fd(int fd)
        : m_Fd(fd)
    {
    }
    ~Fd()
    {
        if (m_Fd >= 0)
            ::close(m_Fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_Fd; }
    // Closes now, so that a failing close (a full disk on NFS) is seen.
    bool close()
    {
        const int fd = m_Fd;
        m_Fd = -1;
        return ::close(fd) == 0;
    }

private:
    int m_Fd;
};

// Copies the rest of `from` into `to`, hashing and counting what passes.
bool copyRest(int from, int to, Sha512& digest, std::uint64_t& size)
{
    static thread_local char buffer[1 << 16];
    for (;;) {
        const ssize_t n = readSome(from, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        digest.add(buffer, static_cast<size_t>(n));
        size += static_cast<std::uint64_t>(n);
        if (to >= 0 && !writeAll(to, buffer, static_cast<size_t>(n)))
            return false;
    }
}

std::string systemReason(const std::string& what, const std::string& path)
{
    return what + " '" + path + "': " + std::strerror(errno);
}

// A temporary entry is named ".tmp-<pid>-<n>"; its writer is gone when no
// process has that id any more.
bool writerIsGone(const std::string& name)
{
    if (name.compare(0, sizeof kTempPrefix - 1, kTempPrefix) != 0)
        return false;
    const std::string rest = name.substr(sizeof kTempPrefix - 1);
    const size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos || rest.find_first_not_of("0123456789") != dash)
        return false;
    const long pid = std::strtol(rest.substr(0, dash).c_str(), nullptr, 10);
    return pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

} // namespace

ArtifactCache::ArtifactCache(std::string dir, std::string generator)
    : m_Dir(std::move(dir))
    , m_Generator(std::move(generator))
{
}

bool ArtifactCache::open(std::string& reason)
{
    std::error_code error;
    fs::create_directories(m_Dir, error);
    if (error) {
        reason = "cannot create the cache '" + m_Dir + "': " + error.message();
        return false;
    }
    fs::directory_iterator it(m_Dir, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code ignored; // another run may remove it first
        if (writerIsGone(it->path().filename().string()))
            fs::remove(it->path(), ignored);
    }
    if (error) {
        reason = "cannot list the cache '" + m_Dir + "': " + error.message();
        return false;
    }
    return true;
}

std::string ArtifactCache::key(const std::string& kind, std::initializer_list<std::string> inputs) const
{
    std::string text = kind + "\n" + m_Generator + "\n";
    for (const std::string& input : inputs)
        text += input + "\n";
    return sha512OfText(text);
}

bool ArtifactCache::fetch(const std::string& key, const std::string& target) const
{
    const std::string entry = m_Dir + "/" + key;
    Fd in(::open(entry.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0)
        return false;
    // The header is short; read it byte by byte up to its newline, so the
    // body follows at the file position.
    std::string header;
    char c = 0;
    while (header.size() < 256 && readSome(in.get(), &c, 1) == 1 && c != '\n')
        header += c;
    const std::string prefix = std::string(kMagic) + " ";
    const auto damaged = [&entry, &target] {
        ::unlink(target.c_str());
        ::unlink(entry.c_str());
        return false;
    };
    if (c != '\n' || header.compare(0, prefix.size(), prefix) != 0)
        return damaged();

    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0)
        return false;
    Sha512 digest;
    std::uint64_t size = 0;
    if (!copyRest(in.get(), out.get(), digest, size) || !out.close()) {
        ::unlink(target.c_str());
        return false;
    }
    if (header.substr(prefix.size()) != digest.hex() + " " + std::to_string(size))
        return damaged();
    return true;
}

void ArtifactCache::discard(const std::string& key) const
{
    ::unlink((m_Dir + "/" + key).c_str());
}

bool ArtifactCache::store(const std::string& key, const std::string& body, std::string& reason) const
{
    static std::atomic<unsigned> counter{0};
    const std::string temp =
        m_Dir + "/" + kTempPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    const std::string entry = m_Dir + "/" + key;
    Fd in(::open(body.c_str(), O_RDONLY | O_CLOEXEC));
    Sha512 digest;
    std::uint64_t size = 0;
    if (in.get() < 0 || !copyRest(in.get(), -1, digest, size) || ::lseek(in.get(), 0, SEEK_SET) != 0) {
        reason = systemReason("cannot read", body);
        return false;
    }
    const std::string header = std::string(kMagic) + " " + digest.hex() + " " + std::to_string(size) + "\n";
    Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (out.get() < 0) {
        reason = systemReason("cannot create", temp);
        return false;
    }
    Sha512 unused;
    std::uint64_t copied = 0;
    const bool written = writeAll(out.get(), header.data(), header.size())
                         && copyRest(in.get(), out.get(), unused, copied) && ::fsync(out.get()) == 0
                         && out.close();
    if (!written || std::rename(temp.c_str(), entry.c_str()) != 0) {
        reason = systemReason("cannot write the cache entry", entry);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool generatorIdentity(std::string& identity, std::string& reason)
{
    return sha512OfFile("/proc/self/exe", identity, reason);
}

} // namespace vxpublish
