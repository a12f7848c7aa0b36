#include "keyfile.h"

#include "fileio.h"

namespace vxpublish {

namespace {

// A private key whose parts do not belong together signs without complaint,
// and every client would then refuse what it signed.
bool signsVerifiably(RsaKey& key)
{
    static const unsigned char probe[] = "vxpublish key probe";
    Bytes signature(key.modulusSize());
    unsigned long length = signature.size();
    signData(key, probe, sizeof probe, signature.data(), &length);
    return verifySignature(key, probe, sizeof probe, signature.data(), length);
}

} // namespace

bool loadKey(const std::string& path, bool needPrivate, RsaKey& key, std::string& reason)
{
    Bytes der;
    if (!readFile(path, der, reason))
        return false;
    const std::string named = "'" + path + "'";
    if (der.empty()) {
        reason = named + " is empty, not a DER RSA key";
        return false;
    }
    try {
        importPublicKey(key, der.data(), der.size());
    } catch (const crypt_exception& e) {
        reason = named + " is not a DER RSA key (" + e.what() + ")";
        return false;
    }
    if (key.modulusSize() < kMinModulusBytes) {
        reason = named + " holds a " + std::to_string(key.modulusSize() * 8)
            + "-bit key; at least " + std::to_string(kMinModulusBytes * 8) + " bits are needed";
        return false;
    }
    if (needPrivate && !key.isPrivate()) {
        reason = named + " is a public key; signing needs the private key";
        return false;
    }
    if (needPrivate) {
        bool good = false;
        try {
            good = signsVerifiably(key);
        } catch (const crypt_exception&) {
        }
        if (!good) {
            reason = named + " is a damaged private key: its signatures do not verify";
            return false;
        }
    }
    return true;
}

} // namespace vxpublish
