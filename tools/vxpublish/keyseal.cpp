#include "keyseal.h"

#include <sodium.h>

#include <sstream>
#include <vector>

namespace vxpublish {

namespace {

const char kMagic[] = "vxpublish-sealed-key";
const char kVersion[] = "1";
const char kAlgorithm[] = "argon2id13";

std::string toHex(const unsigned char* data, size_t length)
{
    std::string hex(2 * length + 1, '\0');
    sodium_bin2hex(&hex[0], hex.size(), data, length);
    hex.pop_back();
    return hex;
}

bool fromHex(const std::string& hex, size_t length, std::vector<unsigned char>& bytes)
{
    if (hex.size() != 2 * length || hex.find_first_not_of("0123456789abcdef") != std::string::npos)
        return false;
    bytes.assign(length, 0);
    size_t decoded = 0;
    return sodium_hex2bin(bytes.data(), length, hex.data(), hex.size(), nullptr, &decoded, nullptr) == 0
           && decoded == length;
}

bool deriveKey(const std::string& passphrase, const std::vector<unsigned char>& salt, unsigned long long ops,
               size_t mem, unsigned char key[crypto_secretbox_KEYBYTES])
{
    return crypto_pwhash(key, crypto_secretbox_KEYBYTES, passphrase.data(), passphrase.size(), salt.data(),
                         ops, mem, crypto_pwhash_ALG_ARGON2ID13)
           == 0;
}

} // namespace

bool isSealed(const Bytes& text)
{
    const std::string magic = std::string(kMagic) + " ";
    return text.size() > magic.size() && std::equal(magic.begin(), magic.end(), text.begin());
}

bool seal(const Bytes& plain, const std::string& passphrase, Bytes& sealed, std::string& reason)
{
    if (sodium_init() < 0) {
        reason = "libsodium cannot be initialised";
        return false;
    }
    const unsigned long long ops = crypto_pwhash_OPSLIMIT_MODERATE;
    const size_t mem = crypto_pwhash_MEMLIMIT_MODERATE;
    std::vector<unsigned char> salt(crypto_pwhash_SALTBYTES);
    std::vector<unsigned char> nonce(crypto_secretbox_NONCEBYTES);
    randombytes_buf(salt.data(), salt.size());
    randombytes_buf(nonce.data(), nonce.size());
    unsigned char key[crypto_secretbox_KEYBYTES];
    if (!deriveKey(passphrase, salt, ops, mem, key)) {
        reason = "cannot derive a key from the passphrase (out of memory?)";
        return false;
    }
    std::vector<unsigned char> box(plain.size() + crypto_secretbox_MACBYTES);
    crypto_secretbox_easy(box.data(), plain.data(), plain.size(), nonce.data(), key);
    sodium_memzero(key, sizeof key);
    const std::string line = std::string(kMagic) + " " + kVersion + " " + kAlgorithm + " "
                             + std::to_string(ops) + " " + std::to_string(mem) + " "
                             + toHex(salt.data(), salt.size()) + " " + toHex(nonce.data(), nonce.size()) + " "
                             + toHex(box.data(), box.size()) + "\n";
    sealed.assign(line.begin(), line.end());
    return true;
}

bool unseal(const Bytes& sealed, const std::string& path, const std::string& passphrase, Bytes& plain,
            std::string& reason)
{
    plain.clear();
    const std::string named = "'" + path + "'";
    if (sodium_init() < 0) {
        reason = "libsodium cannot be initialised";
        return false;
    }
    std::istringstream line(std::string(sealed.begin(), sealed.end()));
    std::string magic, version, algorithm, saltHex, nonceHex, boxHex, rest;
    unsigned long long ops = 0;
    unsigned long long mem = 0;
    line >> magic >> version >> algorithm >> ops >> mem >> saltHex >> nonceHex >> boxHex;
    std::vector<unsigned char> salt;
    std::vector<unsigned char> nonce;
    std::vector<unsigned char> box;
    if (!line || (line >> rest) || magic != kMagic || version != kVersion || algorithm != kAlgorithm
        || boxHex.size() < 2 * crypto_secretbox_MACBYTES || !fromHex(saltHex, crypto_pwhash_SALTBYTES, salt)
        || !fromHex(nonceHex, crypto_secretbox_NONCEBYTES, nonce)
        || !fromHex(boxHex, boxHex.size() / 2, box)) {
        reason = named + " is not a sealed key file of this vxpublish";
        return false;
    }
    if (ops < crypto_pwhash_OPSLIMIT_MIN || ops > crypto_pwhash_OPSLIMIT_SENSITIVE
        || mem < crypto_pwhash_MEMLIMIT_MIN || mem > crypto_pwhash_MEMLIMIT_SENSITIVE) {
        reason = named + " asks for passphrase hashing limits beyond those vxpublish uses";
        return false;
    }
    unsigned char key[crypto_secretbox_KEYBYTES];
    if (!deriveKey(passphrase, salt, ops, static_cast<size_t>(mem), key)) {
        reason = "cannot derive a key from the passphrase (out of memory?)";
        return false;
    }
    plain.assign(box.size() - crypto_secretbox_MACBYTES, 0);
    const bool opened =
        crypto_secretbox_open_easy(plain.data(), box.data(), box.size(), nonce.data(), key) == 0;
    sodium_memzero(key, sizeof key);
    if (!opened) {
        plain.clear();
        reason = named + " does not open with this passphrase";
        return false;
    }
    return true;
}

} // namespace vxpublish
