#pragma once
// The keys that sign a release's product ini: the RSA key of "<ini>.sig",
// which every updater checks, and any number of Ed25519 keys whose
// signatures go into "<ini>.signatures" (several while keys are rotated,
// docs/keys.md). Each key is a key file (--key, --ed25519-key; sealed ones
// opened with the run's passphrase) or an external signer with its public
// key (--rsa-signer, --ed25519-signer PUBLIC=COMMAND; externalsigner.h).
// All are loaded before any work is done, and every signature is checked
// against its public key before it is published.

#include "crypto.h"
#include "ed25519.h"
#include "fileio.h"
#include "releaseoptions.h"

#include <memory>
#include <string>
#include <vector>

namespace vxpublish {

class ReleaseSigners final
{
public:
    ReleaseSigners();
    ~ReleaseSigners();
    ReleaseSigners(const ReleaseSigners&) = delete;
    ReleaseSigners& operator=(const ReleaseSigners&) = delete;

    // False with a one-line reason naming the key or signer.
    bool load(const ReleaseOptions& options, std::string& reason);

    // `rsaSignature` for ".sig"; `modernList` the text of ".signatures",
    // empty without Ed25519 keys. `scratchDir` is for external signers.
    bool sign(const std::string& text, const std::string& scratchDir, Bytes& rsaSignature, Bytes& modernList,
              std::string& reason);

    size_t modernKeyCount() const { return m_Modern.size(); }

private:
    struct Modern
    {
        std::string name;
        ed25519::SecretKey secret{};
        ed25519::PublicKey key{};
        std::string command; // empty: `secret` signs
    };
    bool signRsa(const Bytes& data, const std::string& scratchDir, Bytes& signature, std::string& reason);

    RsaKey m_Rsa;
    std::string m_RsaName;
    std::string m_RsaCommand; // empty: m_Rsa signs
    std::vector<Modern> m_Modern;
};

} // namespace vxpublish
