// The modern signature file as the updater reads it from the network, before
// anything about it is trusted: the parse must refuse or accept every input
// without fault, and an accepted list must render back to the same bytes
// when it holds only Ed25519 lines; verifying against a key must not fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ed25519.h"
#include "signaturelist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    SignatureList list;
    std::string reason;
    if (!SignatureList::parse(text, list, reason)) {
        if (reason.empty() || !list.entries().empty())
            std::abort();
        return 0;
    }
    const std::string rendered = list.render();
    if (rendered.size() > text.size())
        std::abort();
    ed25519::PublicKey key{};
    key[0] = 1;
    std::string keyId;
    if (list.verify({key}, data, size, keyId) == SignatureList::Verdict::Valid)
        std::abort();
    return 0;
}
