#pragma once
// The modern signatures of a product ini: a text file next to the ini's RSA
// ".sig", named "<ini>.signatures", that updaters of the original format never
// fetch. It holds one Ed25519 signature per signing key, each over the whole
// unpacked ini and carrying its key's id, so that a release can be signed by
// the outgoing and the incoming key at once:
//
//   voxaro-signatures 1
//   ed25519 <key id: 16 hex digits> <signature: 128 hex digits>
//   ...
//
// Every line ends in a line feed; hex digits are lower case. Lines of another
// algorithm ("<name> <id> <signature>", name in [a-z0-9-]) are skipped, so a
// later algorithm can be added beside Ed25519 without breaking this reader.
// The file is read from the network: anything else, or more than kMaxSize
// bytes or kMaxEntries lines, is refused whole.
//
// No Qt: the publisher writes the file with this code and the updater reads it.

#include "ed25519.h"

#include <cstddef>
#include <string>
#include <vector>

class SignatureList final
{
public:
    static constexpr const char* kHeader = "voxaro-signatures 1";
    static constexpr std::size_t kMaxSize = 64 * 1024;
    static constexpr std::size_t kMaxEntries = 256;

    struct Entry
    {
        std::string keyId;
        ed25519::Signature signature;
    };

    enum class Verdict {
        Valid,     // a key of the trusted set signed the data
        Untrusted, // no signature by a trusted key
        Invalid    // the trusted keys' signatures do not match the data
    };

    void add(const std::string& keyId, const ed25519::Signature& signature);
    const std::vector<Entry>& entries() const { return m_Entries; }
    std::string render() const;

    // False with a one-line reason (and `list` empty) when `text` is not a
    // well-formed list.
    static bool parse(const std::string& text, SignatureList& list, std::string& reason);

    // Valid when an entry by a key of `trusted` verifies `data`; `keyId` then
    // names that key.
    Verdict verify(const std::vector<ed25519::PublicKey>& trusted, const unsigned char* data,
                   std::size_t length, std::string& keyId) const;

private:
    std::vector<Entry> m_Entries;
};
