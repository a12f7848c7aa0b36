#include "ed25519keyfile.h"

#include "keyfile.h"

#include <algorithm>

namespace vxpublish {

namespace {

const char kPublicPrefix[] = "ed25519 ";
const char kSecretPrefix[] = "ed25519-secret ";
const char kHexDigits[] = "0123456789abcdef";

template <size_t N> std::string toHex(const std::array<unsigned char, N>& bytes)
{
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kHexDigits[byte >> 4];
        hex += kHexDigits[byte & 15];
    }
    return hex;
}

// `text` must be exactly prefix, 2 * N lower-case hex digits and a line feed.
template <size_t N> bool parseLine(const Bytes& text, const char* prefix, std::array<unsigned char, N>& bytes)
{
    const std::string line(text.begin(), text.end());
    const std::string start(prefix);
    if (line.size() != start.size() + 2 * N + 1 || line.compare(0, start.size(), start) != 0
        || line.back() != '\n')
        return false;
    const std::string hex = line.substr(start.size(), 2 * N);
    if (hex.find_first_not_of(kHexDigits) != std::string::npos)
        return false;
    const auto value = [](char digit) { return digit <= '9' ? digit - '0' : digit - 'a' + 10; };
    for (size_t i = 0; i < N; ++i)
        bytes[i] = static_cast<unsigned char>(value(hex[2 * i]) << 4 | value(hex[2 * i + 1]));
    return true;
}

bool startsWith(const Bytes& text, const char* prefix)
{
    const std::string start(prefix);
    return text.size() >= start.size() && std::equal(start.begin(), start.end(), text.begin());
}

} // namespace

std::string renderPublicKey(const ed25519::PublicKey& key)
{
    return kPublicPrefix + toHex(key) + "\n";
}

std::string renderSecretKey(const ed25519::SecretKey& key)
{
    return kSecretPrefix + toHex(key) + "\n";
}

bool looksLikeEd25519Key(const Bytes& text)
{
    return startsWith(text, kPublicPrefix) || startsWith(text, kSecretPrefix);
}

bool parsePublicKey(const Bytes& text, const std::string& path, ed25519::PublicKey& key, std::string& reason)
{
    ed25519::SecretKey secret;
    if (parseLine(text, kPublicPrefix, key))
        return true;
    if (parseLine(text, kSecretPrefix, secret)) {
        std::copy(secret.end() - key.size(), secret.end(), key.begin());
        return true;
    }
    reason = "'" + path + "' is not an Ed25519 key file (\"ed25519 <64 hex digits>\")";
    return false;
}

bool loadPublicKey(const std::string& path, ed25519::PublicKey& key, std::string& reason)
{
    Bytes text;
    return readFile(path, text, reason) && parsePublicKey(text, path, key, reason);
}

bool loadSecretKey(const std::string& path, const Passphrase* passphrase, ed25519::SecretKey& secret,
                   ed25519::PublicKey& key, std::string& reason)
{
    Bytes text;
    if (!readSecretFile(path, passphrase, text, reason))
        return false;
    const bool parsed = parseLine(text, kSecretPrefix, secret);
    std::fill(text.begin(), text.end(), 0);
    if (!parsed) {
        reason = "'" + path + "' is not an Ed25519 secret key file (\"ed25519-secret <128 hex digits>\")";
        return false;
    }
    std::copy(secret.end() - key.size(), secret.end(), key.begin());
    // The public half is derived from the seed again: a stored one that was
    // altered would sign under another key's id.
    if (ed25519::keyPairFromSecretKey(secret).publicKey != key) {
        reason = "'" + path + "' is a damaged secret key: its public half does not belong to it";
        return false;
    }
    return true;
}

} // namespace vxpublish
