// vxpublish verify PUBLIC.der FILE: 0 when FILE.sig is a valid signature of
// FILE, 1 when it is not (including a malformed signature), 2 when the files
// cannot be read or the key is not a key.

#include "commands.h"
#include "crypto.h"
#include "fileio.h"
#include "help.h"
#include "keyfile.h"
#include "releasenames.h"

namespace vxpublish {

int runVerify(const Args& args)
{
    if (const int status = checkPositional("verify", args, {"PUBLIC.der", "FILE"}); status != EXIT_OK)
        return status;
    const std::string& keyPath = args[0];
    const std::string& dataPath = args[1];
    const std::string sigPath = signatureName(dataPath);

    RsaKey key;
    Bytes data;
    Bytes signature;
    std::string reason;
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
