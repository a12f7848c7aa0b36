// vxpublish keyid FILE: prints "<algorithm> <id>" for a public or private key
// file, the id the updater prints with --key-fingerprints and the modern
// signatures carry: the first 8 bytes of the SHA-512 of the public key (the
// DER RSAPublicKey, or the 32 bytes of an Ed25519 key), in hexadecimal.

#include "commands.h"
#include "crypto.h"
#include "ed25519keyfile.h"
#include "fileio.h"
#include "help.h"
#include "keyfile.h"
#include "sha512.h"

#include <cstdio>

namespace vxpublish {

int runKeyid(const Args& args)
{
    if (const int status = checkPositional("keyid", args, {"KEYFILE"}); status != EXIT_OK)
        return status;
    const std::string& path = args[0];
    Bytes text;
    std::string reason;
    if (!readFile(path, text, reason))
        return fail(EXIT_ERROR, reason);
    if (looksLikeEd25519Key(text)) {
        ed25519::PublicKey key;
        if (!parsePublicKey(text, path, key, reason))
            return fail(EXIT_ERROR, reason);
        std::printf("ed25519 %s\n", ed25519::keyId(key).c_str());
        return EXIT_OK;
    }
    RsaKey key;
    if (!loadKey(path, false, key, reason))
        return fail(EXIT_ERROR, reason);
    try {
        const Bytes der = exportPublicKey(key);
        const std::string id = sha512OfText(std::string(der.begin(), der.end())).substr(0, 16);
        std::printf("rsa-%lu %s\n", key.modulusSize() * 8, id.c_str());
    } catch (const crypt_exception& e) {
        return fail(EXIT_ERROR, "'" + path + "': " + e.what());
    }
    return EXIT_OK;
}

} // namespace vxpublish
