#pragma once
// The signed, expiring version answer: the update server's list of channel
// versions, signed by the publisher's timestamp key (an Ed25519 key of its
// own, kept online for re-signing, never the release key) with the time it
// was signed and the time it expires. Qt-free and its own library, so that
// the publisher's tool writes what the updater reads.
//
// The signature travels as four extra entries after the three channel
// entries of the version reply:
//
//   <stable>,<beta>,<alpha>,signed=<T>,expires=<E>,key=<K>,sig=<S>
//
//   T, E   Unix seconds, decimal, 1 to 12 digits; E after T
//   K      the key's id: 16 lower-case hexadecimal digits (ed25519::keyId)
//   S      the Ed25519 signature, 128 lower-case hexadecimal digits, over
//          kDomain followed by every byte before ",sig="
//
// Updaters that know nothing of it read only their channel's entry and
// ignore the rest. No entry holds "," or "#", and the reply stays within
// the 511 bytes an updater reads (the four entries take 191 of them).

#include "ed25519.h"

#include <cstdint>
#include <string>
#include <vector>

namespace versionanswer {

// The most bytes of a version reply an updater reads.
constexpr std::size_t kReplyLimit = 511;
// Prefixed to what is signed, so that the key signs nothing else by mistake.
constexpr const char* kDomain = "VX3 version answer 1\n";

enum class Status {
    Unsigned, // no signature entries: a server of the original format
    Valid,
    Invalid, // malformed entries, an unknown key or a wrong signature
    Expired,
};

struct Check
{
    Status status = Status::Unsigned;
    std::int64_t signedAt = 0;
    std::int64_t expires = 0;
    std::string reason; // for Invalid and Expired, in words
};

// The reply text with its signature entries: `channels` (the three channel
// entries, joined by ",") signed at `signedAt`, valid until `expires`. False
// with `reason` when the entries cannot carry it (not three entries, a
// signature entry among them, or too long for the updater).
bool sign(const std::string& channels, std::int64_t signedAt, std::int64_t expires,
          const ed25519::SecretKey& key, const ed25519::PublicKey& publicKey, std::string* reply,
          std::string* reason);

// Checks a reply text (already cut at the first zero byte and the limit)
// against the trusted keys at time `now`.
Check verify(const std::string& reply, const std::vector<ed25519::PublicKey>& keys, std::int64_t now);

// The first three entries of a reply, signed or not, joined by ",".
std::string channelEntries(const std::string& reply);

} // namespace versionanswer
