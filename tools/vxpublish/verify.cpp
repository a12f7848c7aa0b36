// vxpublish verify PUBLIC FILE: 0 when FILE is validly signed by the key, 1
// when it is not (including a malformed signature), 2 when the files cannot
// be read or the key is not a key. An RSA key (DER) checks FILE.sig; an
// Ed25519 key checks that FILE.signatures holds a valid signature by it.

#include "commands.h"
#include "crypto.h"
#include "ed25519keyfile.h"
#include "fileio.h"
#include "help.h"
#include "keyfile.h"
#include "signaturelist.h"
#include "updatefiles.h"

namespace vxpublish {

namespace {

int verifyModern(const std::string& keyPath, const Bytes& keyText, const std::string& dataPath)
{
    const std::string listPath = UpdateFiles::modernSignatureName(dataPath);
    ed25519::PublicKey key;
    Bytes data;
    Bytes text;
    std::string reason;
    if (!parsePublicKey(keyText, keyPath, key, reason) || !readFile(dataPath, data, reason)
        || !readFile(listPath, text, reason))
        return fail(EXIT_ERROR, reason);
    SignatureList list;
    if (!SignatureList::parse(std::string(text.begin(), text.end()), list, reason))
        return fail(EXIT_INVALID, "'" + listPath + "': " + reason);
    std::string keyId;
    if (list.verify({key}, data.data(), data.size(), keyId) == SignatureList::Verdict::Valid)
        return EXIT_OK;
    return fail(EXIT_INVALID, "'" + listPath + "' holds no valid signature of '" + dataPath + "' by key "
                                  + ed25519::keyId(key));
}

} // namespace

int runVerify(const Args& args)
{
    if (const int status = checkPositional("verify", args, {"PUBLIC", "FILE"}); status != EXIT_OK)
        return status;
    const std::string& keyPath = args[0];
    const std::string& dataPath = args[1];
    const std::string sigPath = UpdateFiles::signatureName(dataPath);

    Bytes keyText;
    std::string reason;
    if (!readFile(keyPath, keyText, reason))
        return fail(EXIT_ERROR, reason);
    if (looksLikeEd25519Key(keyText))
        return verifyModern(keyPath, keyText, dataPath);

    RsaKey key;
    Bytes data;
    Bytes signature;
    if (!loadKey(keyPath, false, key, reason) || !readFile(dataPath, data, reason)
        || !readFile(sigPath, signature, reason))
        return fail(EXIT_ERROR, reason);
    try {
        if (verifySignature(key, data.data(), data.size(), signature.data(), signature.size()))
            return EXIT_OK;
        reason = "'" + sigPath + "' is not a valid signature of '" + dataPath + "'";
    } catch (const crypt_exception& e) {
        reason = "'" + sigPath + "' is not a valid signature of '" + dataPath + "' (" + e.what() + ")";
    }
    return fail(EXIT_INVALID, reason);
}

} // namespace vxpublish
