#pragma once
// Ed25519 signatures (RFC 8032) for the updater's modern trust chain: product
// ini signatures next to the RSA `.sig`, and the signed version answer. A thin
// wrapper over libsodium, Qt-free like crypto.h, so that the publisher's tools
// sign with the very code the updater verifies with.
//
// Keys: a public key is 32 bytes; a secret key is libsodium's 64-byte form
// (the 32-byte seed followed by the public key). A key is named by its id,
// the first 8 bytes of the SHA-512 of its public key in 16 lower-case hex
// digits: short enough to travel beside every signature, long enough that
// two keys of one publisher never share it by chance.
//
// Every call is thread-safe. Failures of the library itself (it could not
// start, no randomness) throw crypt_exception; a bad signature is a plain
// false.

#include "crypto.h"

#include <array>
#include <cstddef>
#include <string>

namespace ed25519 {

constexpr std::size_t kPublicKeySize = 32;
constexpr std::size_t kSecretKeySize = 64;
constexpr std::size_t kSignatureSize = 64;
constexpr std::size_t kKeyIdLength = 16;

using PublicKey = std::array<unsigned char, kPublicKeySize>;
using SecretKey = std::array<unsigned char, kSecretKeySize>;
using Signature = std::array<unsigned char, kSignatureSize>;

struct KeyPair {
    PublicKey publicKey;
    SecretKey secretKey;
};

// A new key pair from the system's randomness.
KeyPair makeKeyPair();

// The key pair whose secret key is `secretKey`'s seed; the public half is
// derived again, so a secret key whose stored public half was altered
// cannot sign under another key's name.
KeyPair keyPairFromSecretKey(const SecretKey& secretKey);

Signature sign(const SecretKey& secretKey, const unsigned char* data, std::size_t length);

// True only when `signature` is `publicKey`'s signature of exactly `data`.
bool verify(const PublicKey& publicKey, const unsigned char* data, std::size_t length,
            const Signature& signature);

// The key's id: 16 lower-case hex digits.
std::string keyId(const PublicKey& publicKey);

} // namespace ed25519
