#include "fileio.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vxpublish {

namespace {

std::string systemReason(const std::string& what, const std::string& path)
{
    return what + " '" + path + "': " + std::strerror(errno);
}

// Writes and closes `fd`; on failure the reason names `path`.
bool finishWrite(int fd, const std::string& path, const Bytes& data, std::string& reason)
{
    if (!writeAll(fd, data.data(), data.size()) || ::fsync(fd) != 0) {
        reason = systemReason("cannot write", path);
        ::close(fd);
        return false;
    }
    if (::close(fd) != 0) {
        reason = systemReason("cannot write", path);
        return false;
    }
    return true;
}

} // namespace

ssize_t readSome(int fd, void* data, size_t size)
{
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

bool writeAll(int fd, const void* data, size_t size)
{
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, next, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        next += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool readFile(const std::string& path, Bytes& data, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = systemReason("cannot read", path);
        return false;
    }
    data.clear();
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t n = readSome(fd, buffer, sizeof buffer);
        if (n < 0) {
            reason = systemReason("cannot read", path);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
    }
    ::close(fd);
    return true;
}

bool writeNewFile(const std::string& path, const Bytes& data, int mode, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) {
        reason = errno == EEXIST ? "refusing to overwrite '" + path + "'"
                                 : systemReason("cannot create", path);
        return false;
    }
    if (!finishWrite(fd, path, data, reason)) {
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

bool replaceFile(const std::string& path, const Bytes& data, std::string& reason)
{
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = systemReason("cannot create", temp);
        return false;
    }
    if (!finishWrite(fd, temp, data, reason)) {
        ::unlink(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        reason = systemReason("cannot write", path);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace vxpublish
