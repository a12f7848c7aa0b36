#include "sha512.h"

#include <tomcrypt.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vxpublish {

bool sha512OfFile(const std::string& path, std::string& hex, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    hash_state state;
    sha512_init(&state);
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            reason = "cannot read '" + path + "': " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        sha512_process(&state, buffer, static_cast<unsigned long>(n));
    }
    ::close(fd);

    unsigned char digest[64];
    sha512_done(&state, digest);
    static const char kDigits[] = "0123456789abcdef";
    hex.clear();
    hex.reserve(sizeof digest * 2);
    for (unsigned char byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0f];
    }
    return true;
}

} // namespace vxpublish
