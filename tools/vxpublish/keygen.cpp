// vxpublish keygen [--ed25519] [--passphrase-file FILE | --passphrase-fd N]
// PRIVATE PUBLIC: a new key pair. By default a
// 1024-bit RSA key with exponent 65537, both halves as DER PKCS #1, for the
// ".sig" every updater checks; with --ed25519 an Ed25519 key for the modern
// signatures (ed25519keyfile.h). Existing files are never overwritten: losing
// a private key that signed releases cannot be undone. The private half is
// readable by its owner only, and sealed with the passphrase when one is
// given (keyseal.h).

#include "commands.h"
#include "crypto.h"
#include "ed25519keyfile.h"
#include "fileio.h"
#include "help.h"
#include "keyfile.h"
#include "keyseal.h"

#include <algorithm>
#include <cstdio>

namespace vxpublish {

namespace {

bool makeRsaPair(Bytes& privateKey, Bytes& publicKey, std::string& reason)
{
    try {
        RsaKey key;
        makeKey(key);
        privateKey = exportPrivateKey(key);
        publicKey = exportPublicKey(key);
    } catch (const crypt_exception& e) {
        reason = e.what();
        return false;
    }
    return true;
}

void makeEd25519Pair(Bytes& privateKey, Bytes& publicKey)
{
    ed25519::KeyPair pair = ed25519::makeKeyPair();
    const std::string secretText = renderSecretKey(pair.secretKey);
    const std::string publicText = renderPublicKey(pair.publicKey);
    privateKey.assign(secretText.begin(), secretText.end());
    publicKey.assign(publicText.begin(), publicText.end());
    pair.secretKey.fill(0);
}

} // namespace

int runKeygen(const Args& args)
{
    bool modern = false;
    Passphrase passphrase;
    bool sealed = false;
    std::vector<std::string> paths;
    std::string reason;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--ed25519" && !modern) {
            modern = true;
        } else if (isPassphraseOption(args[i])) {
            if (sealed || i + 1 == args.size())
                return usageError("keygen", args[i] + (sealed ? " given twice" : " needs a value"));
            if (!readPassphrase(args[i], args[i + 1], passphrase, reason))
                return fail(EXIT_ERROR, reason);
            sealed = true;
            ++i;
        } else {
            paths.push_back(args[i]);
        }
    }
    if (const int status = checkPositional("keygen", paths, {"PRIVATE", "PUBLIC"}); status != EXIT_OK)
        return status;
    const std::string& privatePath = paths[0];
    const std::string& publicPath = paths[1];

    Bytes privateKey;
    Bytes publicKey;
    if (modern)
        makeEd25519Pair(privateKey, publicKey);
    else if (!makeRsaPair(privateKey, publicKey, reason))
        return fail(EXIT_ERROR, reason);
    if (sealed) {
        Bytes plain;
        plain.swap(privateKey);
        const bool done = seal(plain, passphrase.text, privateKey, reason);
        std::fill(plain.begin(), plain.end(), 0);
        if (!done)
            return fail(EXIT_ERROR, reason);
    }

    const bool written = writeNewFile(privatePath, privateKey, 0600, reason);
    std::fill(privateKey.begin(), privateKey.end(), 0);
    if (!written)
        return fail(EXIT_ERROR, reason);
    if (!writeNewFile(publicPath, publicKey, 0644, reason)) {
        // Half a pair is useless; take the private half back out.
        std::remove(privatePath.c_str());
        return fail(EXIT_ERROR, reason);
    }
    return EXIT_OK;
}

} // namespace vxpublish
