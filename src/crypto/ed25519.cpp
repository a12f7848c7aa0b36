#include "ed25519.h"

#include <sodium.h>

namespace ed25519 {
namespace {

static_assert(kPublicKeySize == crypto_sign_PUBLICKEYBYTES, "libsodium's public key size");
static_assert(kSecretKeySize == crypto_sign_SECRETKEYBYTES, "libsodium's secret key size");
static_assert(kSignatureSize == crypto_sign_BYTES, "libsodium's signature size");

// sodium_init() may be called any number of times from any thread; it only
// fails when the library cannot set itself up (no randomness source).
void startLibrary()
{
    if (sodium_init() < 0)
        throw crypt_exception("sodium_init: the library could not start");
}

} // namespace

KeyPair makeKeyPair()
{
    startLibrary();
    KeyPair pair;
    if (crypto_sign_keypair(pair.publicKey.data(), pair.secretKey.data()) != 0)
        throw crypt_exception("crypto_sign_keypair: no key made");
    return pair;
}

KeyPair keyPairFromSecretKey(const SecretKey& secretKey)
{
    startLibrary();
    KeyPair pair;
    if (crypto_sign_seed_keypair(pair.publicKey.data(), pair.secretKey.data(), secretKey.data()) != 0)
        throw crypt_exception("crypto_sign_seed_keypair: no key made");
    return pair;
}

Signature sign(const SecretKey& secretKey, const unsigned char* data, std::size_t length)
{
    startLibrary();
    static const unsigned char kNothing = 0;
    Signature signature;
    if (crypto_sign_detached(signature.data(), nullptr, length ? data : &kNothing, length, secretKey.data()) != 0)
        throw crypt_exception("crypto_sign_detached: not signed");
    return signature;
}

bool verify(const PublicKey& publicKey, const unsigned char* data, std::size_t length,
            const Signature& signature)
{
    startLibrary();
    static const unsigned char kNothing = 0;
    return crypto_sign_verify_detached(signature.data(), length ? data : &kNothing, length, publicKey.data()) == 0;
}

std::string keyId(const PublicKey& publicKey)
{
    startLibrary();
    unsigned char digest[crypto_hash_sha512_BYTES];
    crypto_hash_sha512(digest, publicKey.data(), publicKey.size());
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (std::size_t i = 0; i < kKeyIdLength / 2; ++i) {
        id += kHex[digest[i] >> 4];
        id += kHex[digest[i] & 15];
    }
    return id;
}

} // namespace ed25519
