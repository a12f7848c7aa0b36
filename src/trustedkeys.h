#pragma once
// The signature keys compiled into this updater, as operators check them:
// `update --key-fingerprints` prints one line per key, so that a build can be
// compared with the publisher's keys before it ships.
//
// A key's id is the first 8 bytes of the SHA-512 of its public key (the DER
// RSAPublicKey, or the 32 bytes of an Ed25519 key) in lower-case hexadecimal;
// `vxpublish keyid` prints the same id for a key file.

#include "ed25519.h"

#include <QStringList>

#include <vector>

class TrustedKeys final
{
public:
    TrustedKeys() = delete;

    // "rsa-1024 <id> .sig", then "ed25519 <id> .signatures" per modern key and
    // "ed25519 <id> timestamp" per key of signed version answers; each ends in
    // " test-only" when the build embeds a key whose private half is public.
    static QStringList fingerprintLines();
    static QString rsaKeyId();
    // The Ed25519 keys whose signatures of product inis are accepted.
    static std::vector<ed25519::PublicKey> ed25519Keys();
};
