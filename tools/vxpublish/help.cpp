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
    "  keygen PRIVATE.der PUBLIC.der   make a new signing key pair\n"
    "  sign PRIVATE.der FILE           sign FILE into FILE.sig\n"
    "  verify PUBLIC.der FILE          check FILE.sig\n"
    "  release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR ...\n"
    "                                  publish one product's version\n"
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

const char* const kKeygen = "Usage: vxpublish keygen PRIVATE.der PUBLIC.der\n"
                            "Makes a new 1024-bit RSA key pair (exponent 65537) for signing product\n"
                            "inis, both halves as DER PKCS #1. The private half is readable by its\n"
                            "owner only. Existing files are never overwritten.\n"
                            "\n"
                            "Exit status:\n"
                            "  0  the pair was written\n"
                            "  2  a wrong argument, or a file that exists or cannot be written\n"
                            "\n"
                            "Example:\n"
                            "  vxpublish keygen private.der public.der\n";

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

const char* const kVerify = "Usage: vxpublish verify PUBLIC.der FILE\n"
                            "Checks FILE.sig against FILE and the public key, as the updater does.\n"
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
    "  --key PRIVATE.der   the private signing key; required\n"
    "  --new DIR           the installation tree of this version; required\n"
    "  --out OUTDIR        the server's root; the release goes to OUTDIR/N/; required\n"
    "  --old DIR           an earlier version's tree, oldest first, repeatable (none); patches are\n"
    "                      made from the last few, and what any of them has that --new lacks is deleted\n"
    "  --delete PATH[=2]   an installed path to remove, =2 with its contents, repeatable (none)\n"
    "  --pack auto|none|all  pack files whose container is smaller or that get a patch (auto)\n"
    "  --jobs N            files packed and patched at once, 1 to 256 (one per core)\n"
    "  --cache DIR         containers and patches kept between runs (OUTDIR/.vxpublish-cache)\n"
    "  --patch smaller|always  publish a patch only when smaller than the container (smaller)\n"
    "  --patch-from-last N  patch each file from the last N --old trees, 1 to 100 (3)\n"
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

struct CommandHelp
{
    const char* name;
    const char* text;
};

const CommandHelp kCommands[] = {
    {"keygen", kKeygen},
    {"sign", kSign},
    {"verify", kVerify},
    {"release", kRelease},
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
