// vxpublish seal (--passphrase-file FILE | --passphrase-fd N) PLAIN SEALED:
// writes SEALED, the key file PLAIN (RSA or Ed25519, its owner's alone)
// sealed with the passphrase (keyseal.h), readable by its owner only. PLAIN
// is left for its owner to destroy; SEALED is never overwritten.

#include "commands.h"
#include "help.h"
#include "keyfile.h"
#include "keyseal.h"

#include <algorithm>

namespace vxpublish {

int runSeal(const Args& args)
{
    if (args.empty() || !isPassphraseOption(args[0]))
        return usageError("seal", "the passphrase comes first: --passphrase-file FILE or --passphrase-fd N");
    if (args.size() < 2)
        return usageError("seal", args[0] + " needs a value");
    if (const int status = checkPositional("seal", Args(args.begin() + 2, args.end()), {"PLAIN", "SEALED"});
        status != EXIT_OK)
        return status;
    Passphrase passphrase;
    Bytes plain;
    Bytes sealed;
    std::string reason;
    if (!readPassphrase(args[0], args[1], passphrase, reason)
        || !readSecretFile(args[2], nullptr, plain, reason))
        return fail(EXIT_ERROR, reason);
    if (isSealed(plain))
        return fail(EXIT_ERROR, "'" + args[2] + "' is sealed already");
    const bool done = seal(plain, passphrase.text, sealed, reason);
    std::fill(plain.begin(), plain.end(), 0);
    if (!done || !writeNewFile(args[3], sealed, 0600, reason))
        return fail(EXIT_ERROR, reason);
    return EXIT_OK;
}

} // namespace vxpublish
