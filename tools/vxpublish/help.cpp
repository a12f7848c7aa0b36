#include "help.h"

#include "commands.h"

namespace vxpublish {

namespace {

const char* const kTool =
    "Usage: vxpublish COMMAND [ARGUMENT]...\n"
    "The publisher's side of Voxaro updates: signing keys, signatures and\n"
    "releases, the files an update server publishes.\n"
    "\n"
    "Commands:\n"
    "  keygen [--ed25519] PRIVATE PUBLIC  make a new signing key pair (RSA, or Ed25519)\n"
    "  seal --passphrase-file F PLAIN SEALED  seal a private key file with a passphrase\n"
    "  keyid KEYFILE                   print a key's algorithm and id\n"
    "  sign PRIVATE.der FILE           sign FILE into FILE.sig\n"
    "  verify PUBLIC FILE              check FILE.sig (RSA) or FILE.signatures (Ed25519)\n"
    "  release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR ...\n"
    "                                  publish one product's version\n"
    "  timestamp-keygen PRIVATE PUBLIC make a new key pair for signing version answers\n"
    "  versions --key PRIVATE --expires AGE (--versions LIST | --from FILE) --out FILE\n"
    "                                  sign the version list vxserver serves\n"
    "\n"
    "  --help                          this text; 'vxpublish COMMAND --help' for a command's\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  a signature that does not match, or a release that cannot be made from this input\n"
    "  2  a wrong argument, a key, file or file system error\n"
    "\n"
    "Example:\n"
    "  vxpublish release --product client_linux_amd64 --version 302 --key private.der \\\n"
    "      --new build/client-302 --old build/client-301 --out /srv/updates/updater-images/client\n";

const char* const kKeygen =
    "Usage: vxpublish keygen [--ed25519] [--passphrase-file FILE | --passphrase-fd N] PRIVATE PUBLIC\n"
    "Makes a new key pair for signing product inis: by default a 1024-bit RSA\n"
    "key (exponent 65537) for FILE.sig, both halves as DER PKCS #1; with\n"
    "--ed25519 an Ed25519 key for FILE.signatures (\"ed25519-secret <hex>\" and\n"
    "\"ed25519 <hex>\"). The private half is readable by its owner only, and\n"
    "sealed with the passphrase when one is given (read up to its first line\n"
    "feed from FILE, which must be its owner's alone, or from the open file\n"
    "descriptor N). Existing files are never overwritten.\n"
    "\n"
    "Exit status:\n"
    "  0  the pair was written\n"
    "  2  a wrong argument, or a file that exists or cannot be written\n"
    "\n"
    "Example:\n"
    "  vxpublish keygen --ed25519 --passphrase-fd 3 k2.secret k2.public 3<passphrase\n";

const char* const kSeal =
    "Usage: vxpublish seal (--passphrase-file FILE | --passphrase-fd N) PLAIN SEALED\n"
    "Writes SEALED: the private key file PLAIN (RSA or Ed25519, its owner's\n"
    "alone) sealed with the passphrase (Argon2id and XSalsa20-Poly1305 of\n"
    "libsodium), readable by its owner only. PLAIN is left for its owner to\n"
    "destroy; SEALED is never overwritten.\n"
    "\n"
    "Exit status:\n"
    "  0  SEALED was written\n"
    "  2  a wrong argument, a key or passphrase that cannot be read, or a file that exists\n"
    "\n"
    "Example:\n"
    "  vxpublish seal --passphrase-fd 3 private.der private.sealed 3<passphrase\n";

const char* const kKeyid = "Usage: vxpublish keyid KEYFILE\n"
                           "Prints \"rsa-<bits> <id>\" or \"ed25519 <id>\" for a public or private key\n"
                           "file: the id that 'update --key-fingerprints' prints and Ed25519\n"
                           "signatures carry, the first 8 bytes of the SHA-512 of the public key.\n"
                           "\n"
                           "Exit status:\n"
                           "  0  the id was printed\n"
                           "  2  a wrong argument, or a file that is no key\n"
                           "\n"
                           "Example:\n"
                           "  vxpublish keyid k2.public\n";

const char* const kSign =
    "Usage: vxpublish sign PRIVATE.der FILE\n"
    "Signs FILE with the private key (RSASSA-PSS over SHA-1, as the updater\n"
    "checks it) and writes the signature to FILE.sig, replacing one that is\n"
    "there.\n"
    "\n"
    "Exit status:\n"
    "  0  FILE.sig was written\n"
    "  2  a wrong argument, a key or file that cannot be read, or FILE.sig that cannot be written\n"
    "\n"
    "Example:\n"
    "  vxpublish sign private.der vx3_client_linux_amd64.ini\n";

const char* const kVerify = "Usage: vxpublish verify PUBLIC FILE\n"
                            "Checks FILE.sig against FILE and the RSA public key (DER), or, for an\n"
                            "Ed25519 public key, that FILE.signatures holds its valid signature of\n"
                            "FILE, as the updater does.\n"
                            "\n"
                            "Exit status:\n"
                            "  0  the signature is valid\n"
                            "  1  the signature does not match\n"
                            "  2  a wrong argument, or a key or file that cannot be read\n"
                            "\n"
                            "Example:\n"
                            "  vxpublish verify public.der vx3_client_linux_amd64.ini\n";

const char* const kRelease =
    "Usage: vxpublish release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR "
    "[OPTION]...\n"
    "Turns the installation tree DIR into the files an update server publishes\n"
    "for one product and version, below OUTDIR/N/: plain and packed files,\n"
    "patches from earlier versions, and the signed product ini. A published\n"
    "release is never overwritten.\n"
    "\n"
    "Options (VALUE may also follow as --option=VALUE):\n"
    "  --product NAME      client_linux_amd64 (the client) or update_linux_amd64 (the updater); required\n"
    "  --version N         the version number, decimal without leading zeros; required\n"
    "  --key PRIVATE.der   the private RSA key of FILE.sig; required unless --rsa-signer\n"
    "  --rsa-signer PUBLIC.der=COMMAND  the RSA key's public half and a command that signs\n"
    "  --ed25519-key SECRET  an Ed25519 key for the ini's .signatures, repeatable (none)\n"
    "  --ed25519-signer PUBLIC=COMMAND  an Ed25519 public key and a command that signs, repeatable\n"
    "                      (a signer reads the bytes on stdin and writes the raw signature)\n"
    "  --passphrase-file FILE, --passphrase-fd N  the passphrase of sealed key files\n"
    "  --new DIR           the installation tree of this version; required\n"
    "  --out OUTDIR        the server's root; the release goes to OUTDIR/N/; required\n"
    "  --old DIR           an earlier version's tree, oldest first, repeatable (none); patches are\n"
    "                      made from the last few, and what any of them has that --new lacks is deleted\n"
    "  --delete PATH[=2]   an installed path to remove, =2 with its contents, repeatable (none)\n"
    "  --pack auto|none|all  pack files whose container is smaller or that get a patch (auto)\n"
    "  --jobs N            files packed and patched at once, 1 to 256 (one per core)\n"
    "  --cache DIR         containers and patches kept between runs, never served\n"
    "                      ($XDG_CACHE_HOME/vxpublish, else ~/.cache/vxpublish)\n"
    "  --patch smaller|always  publish a patch only when smaller than the container (smaller)\n"
    "  --patch-from-last N  patch each file from the last N --old trees, 1 to 100 (3)\n"
    "  --allow-downgrade   the release may replace newer versions: installations refuse older\n"
    "                      versions unless the signed ini says so (off)\n"
    "\n"
    "Exit status:\n"
    "  0  the release was published; one summary line on stdout\n"
    "  1  a release that cannot be made from this input (the reason on stderr)\n"
    "  2  a wrong argument, a key or file system error\n"
    "\n"
    "Example:\n"
    "  vxpublish release --product client_linux_amd64 --version 302 --key private.der \\\n"
    "      --new build/client-302 --old build/client-300 --old build/client-301 \\\n"
    "      --delete cache=2 --out /srv/updates/updater-images/client\n";

const char* const kTimestampKeygen =
    "Usage: vxpublish timestamp-keygen PRIVATE PUBLIC\n"
    "Makes a new Ed25519 key pair for signing version answers (the timestamp\n"
    "key, not a release key: it stays on the machine that re-signs the version\n"
    "list). PRIVATE gets one line \"ed25519-secret <128 hex digits>\", readable\n"
    "by its owner only; PUBLIC one line \"ed25519 <64 hex digits>\" for the\n"
    "updater's build (VX_TIMESTAMP_KEYS). Prints the key's id. Existing files\n"
    "are never overwritten.\n"
    "\n"
    "Exit status:\n"
    "  0  the pair was written\n"
    "  2  a wrong argument, or a file that exists or cannot be written\n"
    "\n"
    "Example:\n"
    "  vxpublish timestamp-keygen /etc/voxaro/timestamp.secret timestamp.public\n";

const char* const kVersions =
    "Usage: vxpublish versions --key PRIVATE --expires AGE (--versions LIST | --from FILE) --out FILE\n"
    "       [--signed-at SECONDS]\n"
    "Signs the version list (the three channel entries NUMBER#LABEL: stable,\n"
    "beta, alpha) with the time and an expiry, and writes the one-line file\n"
    "that vxserver serves (--versions-file; reload it with SIGHUP). The\n"
    "signature travels as four more entries that older updaters ignore.\n"
    "Updaters that have once taken a signed answer refuse unsigned, expired\n"
    "and older ones, so re-sign well before AGE has passed (a timer).\n"
    "\n"
    "Options:\n"
    "  --key PRIVATE       the timestamp private key (timestamp-keygen); required\n"
    "  --expires AGE       how long the answer holds: seconds, or a number with s, m, h or d; required\n"
    "  --versions LIST     the channel entries, for example \"302#3.0.2,302#3.0.2,303#3.0.3\"\n"
    "  --from FILE         take the channel entries of FILE (signed or not) instead\n"
    "  --out FILE          the file to write, replaced through a rename; may be FILE of --from\n"
    "  --signed-at SECONDS the signing time in Unix seconds (now)\n"
    "\n"
    "Exit status:\n"
    "  0  the file was written\n"
    "  1  a list that cannot be signed (not three entries, too long)\n"
    "  2  a wrong argument, a key or file that cannot be read or written\n"
    "\n"
    "Example:\n"
    "  vxpublish versions --key /etc/voxaro/timestamp.secret --expires 7d \\\n"
    "      --from /etc/voxaro/versions --out /etc/voxaro/versions\n";

struct CommandHelp
{
    const char* name;
    const char* text;
};

const CommandHelp kCommands[] = {
    {"keygen", kKeygen}, {"seal", kSeal},     {"keyid", kKeyid},
    {"sign", kSign},     {"verify", kVerify}, {"release", kRelease},
    {"timestamp-keygen", kTimestampKeygen},
    {"versions", kVersions},
};

} // namespace

const char* toolHelp()
{
    return kTool;
}

const char* commandHelp(const std::string& command)
{
    for (const CommandHelp& entry : kCommands) {
        if (command == entry.name)
            return entry.text;
    }
    return nullptr;
}

int usageError(const std::string& command, const std::string& reason)
{
    const std::string help = command.empty() ? "vxpublish --help" : "vxpublish " + command + " --help";
    return fail(EXIT_ERROR, reason + "; see '" + help + "'");
}

int checkPositional(const std::string& command, const std::vector<std::string>& args,
                    const std::vector<std::string>& names)
{
    std::string usage = "usage: vxpublish " + command;
    for (const std::string& name : names)
        usage += " " + name;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].size() > 1 && args[i][0] == '-')
            return usageError(command, "unknown argument '" + args[i] + "'; " + usage);
        if (i == names.size())
            return usageError(command, "unexpected argument '" + args[i] + "'; " + usage);
    }
    if (args.size() < names.size())
        return usageError(command, "missing argument " + names[args.size()] + "; " + usage);
    return EXIT_OK;
}

} // namespace vxpublish
