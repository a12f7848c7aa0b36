#include "sha512.h"

#include "fileio.h"

#include <tomcrypt.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace vxpublish {

struct Sha512::State
{
    hash_state hash;
};

Sha512::Sha512()
    : m_State(std::make_unique<State>())
{
    sha512_init(&m_State->hash);
}

Sha512::~Sha512() = default;

void Sha512::add(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    // The library counts in unsigned long, which holds any one piece here.
    sha512_process(&m_State->hash, bytes, static_cast<unsigned long>(size));
}

std::string Sha512::hex()
{
    unsigned char digest[64];
    sha512_done(&m_State->hash, digest);
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(sizeof digest * 2);
    for (unsigned char byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0x0f];
    }
    return text;
}

bool sha512OfFile(const std::string& path, std::string& hex, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    Sha512 digest;
    unsigned char buffer[65536];
    for (;;) {
        const ssize_t n = readSome(fd, buffer, sizeof buffer);
        if (n < 0) {
            reason = "cannot read '" + path + "': " + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0)
            break;
        digest.add(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    hex = digest.hex();
    return true;
}

std::string sha512OfText(const std::string& text)
{
    Sha512 digest;
    digest.add(text);
    return digest.hex();
}

} // namespace vxpublish
