// vxpublish keygen PRIVATE.der PUBLIC.der: a new 1024-bit RSA key pair with
// exponent 65537, both halves as DER PKCS #1. Existing files are never
// overwritten: losing a private key that signed releases cannot be undone.
// The private half is readable by its owner only.

#include "commands.h"
#include "crypto.h"
#include "fileio.h"
#include "help.h"

#include <cstdio>

namespace vxpublish {

int runKeygen(const Args& args)
{
    if (const int status = checkPositional("keygen", args, {"PRIVATE.der", "PUBLIC.der"}); status != EXIT_OK)
        return status;
    const std::string& privatePath = args[0];
    const std::string& publicPath = args[1];

    Bytes privateDer;
    Bytes publicDer;
    try {
        RsaKey key;
        makeKey(key);
        privateDer = exportPrivateKey(key);
        publicDer = exportPublicKey(key);
    } catch (const crypt_exception& e) {
        return fail(EXIT_ERROR, e.what());
    }

    std::string reason;
    if (!writeNewFile(privatePath, privateDer, 0600, reason))
        return fail(EXIT_ERROR, reason);
    if (!writeNewFile(publicPath, publicDer, 0644, reason)) {
        // Half a pair is useless; take the private half back out.
        std::remove(privatePath.c_str());
        return fail(EXIT_ERROR, reason);
    }
    return EXIT_OK;
}

} // namespace vxpublish
