#pragma once
// The Ed25519 public keys of the publisher's timestamp keys, which sign the
// version answer (versionanswer.h): compiled in from the files named by the
// CMake option VX_TIMESTAMP_KEYS (cmake/VxSigningKeys.cmake); by default the
// committed test key keys/test-only/timestamp.public, whose secret half is
// public. Several keys let a publisher replace its timestamp key: builds
// trust the old and the new one until the old one is retired.
// Generated at build time (cmake/VxEmbedTimestampKeys.cmake).

#include "ed25519.h"

#include <vector>

class TimestampKeys final
{
public:
    TimestampKeys() = delete;

    static const std::vector<ed25519::PublicKey>& publicKeys();
    // One of them is the test-only key.
    static bool testOnly();
};
