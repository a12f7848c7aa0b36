#include "keyfile.h"

#include "fileio.h"
#include "keyseal.h"

#include <sodium.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vxpublish {

namespace {

constexpr size_t kMaxPassphrase = 4096;
// Far above any key file vxpublish writes or reads.
constexpr size_t kMaxKeyFile = 1 << 20;

// Reads all of `fd` up to `limit` bytes; false on a read error or more.
bool readLimited(int fd, size_t limit, std::string& text)
{
    char buffer[512];
    for (;;) {
        const ssize_t n = readSome(fd, buffer, sizeof buffer);
        if (n < 0 || text.size() + static_cast<size_t>(n) > limit) {
            sodium_memzero(buffer, sizeof buffer);
            return false;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    sodium_memzero(buffer, sizeof buffer);
    return true;
}

// The file behind `fd` must be its owner's alone.
bool ownerOnly(int fd, const std::string& path, std::string& reason)
{
    struct stat status;
    if (::fstat(fd, &status) != 0) {
        reason = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
        reason = "'" + path + "' holds a private key or passphrase but other users may access it (mode "
                 + mode + "); take it for leaked, or make it the owner's alone: chmod 600 '" + path + "'";
        return false;
    }
    return true;
}

// A private key whose parts do not belong together signs without complaint,
// and every client would then refuse what it signed.
bool signsVerifiably(RsaKey& key)
{
    static const unsigned char probe[] = "vxpublish key probe";
    Bytes signature(key.modulusSize());
    unsigned long length = signature.size();
    signData(key, probe, sizeof probe, signature.data(), &length);
    return verifySignature(key, probe, sizeof probe, signature.data(), length);
}

} // namespace

Passphrase::~Passphrase()
{
    sodium_memzero(&text[0], text.size());
}

bool isPassphraseOption(const std::string& option)
{
    return option == "--passphrase-file" || option == "--passphrase-fd";
}

bool readPassphrase(const std::string& option, const std::string& value, Passphrase& passphrase,
                    std::string& reason)
{
    int fd = -1;
    bool own = false;
    if (option == "--passphrase-fd") {
        const bool digits =
            !value.empty() && value.size() <= 6 && value.find_first_not_of("0123456789") == std::string::npos;
        fd = digits ? std::stoi(value) : -1;
        if (fd < 0) {
            reason = "--passphrase-fd needs a file descriptor number, not '" + value + "'";
            return false;
        }
    } else {
        fd = ::open(value.c_str(), O_RDONLY | O_CLOEXEC);
        own = true;
        if (fd < 0) {
            reason = "cannot read '" + value + "': " + std::strerror(errno);
            return false;
        }
        if (!ownerOnly(fd, value, reason)) {
            ::close(fd);
            return false;
        }
    }
    const bool read = readLimited(fd, kMaxPassphrase, passphrase.text);
    const int error = errno;
    if (own)
        ::close(fd);
    if (!read) {
        reason = "cannot read the passphrase (" + option + " " + value
                 + "): " + (passphrase.text.size() >= kMaxPassphrase ? "too long" : std::strerror(error));
        return false;
    }
    const size_t end = passphrase.text.find('\n');
    if (end != std::string::npos) {
        sodium_memzero(&passphrase.text[end], passphrase.text.size() - end);
        passphrase.text.resize(end);
    }
    if (!passphrase.text.empty() && passphrase.text.back() == '\r')
        passphrase.text.pop_back();
    if (passphrase.text.empty()) {
        reason = "the passphrase (" + option + " " + value + ") is empty";
        return false;
    }
    return true;
}

bool readSecretFile(const std::string& path, const Passphrase* passphrase, Bytes& data, std::string& reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = "cannot read '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::string text;
    const bool safe = ownerOnly(fd, path, reason);
    const bool read = safe && readLimited(fd, kMaxKeyFile, text);
    const int error = errno;
    ::close(fd);
    if (!safe)
        return false;
    data.assign(text.begin(), text.end());
    sodium_memzero(&text[0], text.size());
    if (!read) {
        reason = "cannot read '" + path
                 + "': " + (data.size() >= kMaxKeyFile ? "too large for a key" : std::strerror(error));
        return false;
    }
    if (!isSealed(data))
        return true;
    if (passphrase == nullptr) {
        reason =
            "'" + path + "' is sealed with a passphrase; give it with --passphrase-file or --passphrase-fd";
        return false;
    }
    Bytes sealed;
    sealed.swap(data);
    return unseal(sealed, path, passphrase->text, data, reason);
}

bool loadKey(const std::string& path, bool needPrivate, RsaKey& key, std::string& reason,
             const Passphrase* passphrase)
{
    Bytes der;
    if (!(needPrivate ? readSecretFile(path, passphrase, der, reason) : readFile(path, der, reason)))
        return false;
    const std::string named = "'" + path + "'";
    if (der.empty()) {
        reason = named + " is empty, not a DER RSA key";
        return false;
    }
    try {
        importPublicKey(key, der.data(), der.size());
    } catch (const crypt_exception& e) {
        reason = named + " is not a DER RSA key (" + e.what() + ")";
        return false;
    }
    if (key.modulusSize() < kMinModulusBytes) {
        reason = named + " holds a " + std::to_string(key.modulusSize() * 8)
            + "-bit key; at least " + std::to_string(kMinModulusBytes * 8) + " bits are needed";
        return false;
    }
    if (needPrivate && !key.isPrivate()) {
        reason = named + " is a public key; signing needs the private key";
        return false;
    }
    if (needPrivate) {
        bool good = false;
        try {
            good = signsVerifiably(key);
        } catch (const crypt_exception&) {
        }
        if (!good) {
            reason = named + " is a damaged private key: its signatures do not verify";
            return false;
        }
    }
    return true;
}

} // namespace vxpublish
