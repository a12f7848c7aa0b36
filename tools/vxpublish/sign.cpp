// vxpublish sign PRIVATE.der FILE: writes the signature of FILE to FILE.sig,
// replacing an older one in a single rename.

#include "commands.h"
#include "crypto.h"
#include "fileio.h"
#include "help.h"
#include "keyfile.h"
#include "updatefiles.h"

namespace vxpublish {

int runSign(const Args& args)
{
    if (const int status = checkPositional("sign", args, {"PRIVATE.der", "FILE"}); status != EXIT_OK)
        return status;
    const std::string& keyPath = args[0];
    const std::string& dataPath = args[1];

    RsaKey key;
    Bytes data;
    std::string reason;
    if (!loadKey(keyPath, true, key, reason) || !readFile(dataPath, data, reason))
        return fail(EXIT_ERROR, reason);

    Bytes signature;
    try {
        signature.resize(key.modulusSize());
        unsigned long length = signature.size();
        signData(key, data.data(), data.size(), signature.data(), &length);
        signature.resize(length);
    } catch (const crypt_exception& e) {
        return fail(EXIT_ERROR, "'" + keyPath + "': " + e.what());
    }

    if (!replaceFile(UpdateFiles::signatureName(dataPath), signature, reason))
        return fail(EXIT_ERROR, reason);
    return EXIT_OK;
}

} // namespace vxpublish
