#include "releasesigners.h"

#include "ed25519keyfile.h"
#include "externalsigner.h"
#include "keyfile.h"
#include "signaturelist.h"

#include <algorithm>

namespace vxpublish {

namespace {

// "PUBLIC=COMMAND", split at the first "=".
bool splitSigner(const std::string& option, const std::string& value, std::string& publicKey,
                 std::string& command, std::string& reason)
{
    const size_t equals = value.find('=');
    if (equals == 0 || equals == std::string::npos || equals + 1 == value.size()) {
        reason = option + " needs PUBLIC=COMMAND, not '" + value + "'";
        return false;
    }
    publicKey = value.substr(0, equals);
    command = value.substr(equals + 1);
    return true;
}

} // namespace

ReleaseSigners::ReleaseSigners() = default;

ReleaseSigners::~ReleaseSigners()
{
    for (Modern& modern : m_Modern)
        modern.secret.fill(0);
}

bool ReleaseSigners::load(const ReleaseOptions& options, std::string& reason)
{
    Passphrase passphrase;
    const bool withPassphrase = !options.passphraseOption.empty();
    if (withPassphrase
        && !readPassphrase(options.passphraseOption, options.passphraseValue, passphrase, reason))
        return false;
    const Passphrase* given = withPassphrase ? &passphrase : nullptr;
    if (!options.rsaSigner.empty()) {
        std::string publicPath;
        if (!splitSigner("--rsa-signer", options.rsaSigner, publicPath, m_RsaCommand, reason)
            || !loadKey(publicPath, false, m_Rsa, reason))
            return false;
        m_RsaName = "the signer of '" + publicPath + "'";
    } else {
        if (!loadKey(options.keyPath, true, m_Rsa, reason, given))
            return false;
        m_RsaName = "'" + options.keyPath + "'";
    }
    for (const std::string& path : options.ed25519Keys) {
        m_Modern.emplace_back();
        m_Modern.back().name = "'" + path + "'";
        if (!loadSecretKey(path, given, m_Modern.back().secret, m_Modern.back().key, reason))
            return false;
    }
    for (const std::string& signer : options.ed25519Signers) {
        m_Modern.emplace_back();
        std::string publicPath;
        if (!splitSigner("--ed25519-signer", signer, publicPath, m_Modern.back().command, reason)
            || !loadPublicKey(publicPath, m_Modern.back().key, reason))
            return false;
        m_Modern.back().name = "the signer of '" + publicPath + "'";
    }
    for (size_t i = 0; i < m_Modern.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (m_Modern[i].key == m_Modern[j].key) {
                reason = m_Modern[i].name + " and " + m_Modern[j].name + " are the same key";
                return false;
            }
        }
    }
    return true;
}

bool ReleaseSigners::signRsa(const Bytes& data, const std::string& scratchDir, Bytes& signature,
                             std::string& reason)
{
    try {
        if (!m_RsaCommand.empty()) {
            if (!runSigner(m_RsaCommand, data, scratchDir, signature, reason))
                return false;
        } else {
            signature.resize(m_Rsa.modulusSize());
            unsigned long length = signature.size();
            signData(m_Rsa, data.data(), data.size(), signature.data(), &length);
            signature.resize(length);
        }
        if (verifySignature(m_Rsa, data.data(), data.size(), signature.data(), signature.size()))
            return true;
    } catch (const crypt_exception& e) {
        reason = m_RsaName + " made no valid RSA signature (" + e.what() + ")";
        return false;
    }
    reason = m_RsaName + " made no valid RSA signature";
    return false;
}

bool ReleaseSigners::sign(const std::string& text, const std::string& scratchDir, Bytes& rsaSignature,
                          Bytes& modernList, std::string& reason)
{
    const Bytes data(text.begin(), text.end());
    if (!signRsa(data, scratchDir, rsaSignature, reason))
        return false;
    modernList.clear();
    if (m_Modern.empty())
        return true;
    SignatureList list;
    for (const Modern& modern : m_Modern) {
        ed25519::Signature signature{};
        if (modern.command.empty()) {
            signature = ed25519::sign(modern.secret, data.data(), data.size());
        } else {
            Bytes answer;
            if (!runSigner(modern.command, data, scratchDir, answer, reason))
                return false;
            if (answer.size() != signature.size()) {
                reason = modern.name + " answered " + std::to_string(answer.size()) + " bytes, not the "
                         + std::to_string(signature.size()) + " of an Ed25519 signature";
                return false;
            }
            std::copy(answer.begin(), answer.end(), signature.begin());
        }
        if (!ed25519::verify(modern.key, data.data(), data.size(), signature)) {
            reason = modern.name + " made a signature that does not verify with its public key";
            return false;
        }
        list.add(ed25519::keyId(modern.key), signature);
    }
    const std::string rendered = list.render();
    modernList.assign(rendered.begin(), rendered.end());
    return true;
}

} // namespace vxpublish
