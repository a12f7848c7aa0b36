// vxpublish: the publisher's side of update signatures.
//   vxpublish keygen [--ed25519] [--passphrase-file F | --passphrase-fd N] PRIVATE PUBLIC
//   vxpublish seal --passphrase-file F | --passphrase-fd N PLAIN SEALED
//   vxpublish keyid KEYFILE                  the key's algorithm and id
//   vxpublish sign PRIVATE.der FILE          writes FILE.sig
//   vxpublish verify PUBLIC FILE             0 valid, 1 invalid, 2 error
//   vxpublish release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR ...
//   vxpublish timestamp-keygen PRIVATE PUBLIC
//   vxpublish versions --key PRIVATE --expires AGE (--versions LIST | --from FILE) --out FILE
// New commands go into their own file and one line of the table below.

#include "commands.h"
#include "crypto.h"
#include "help.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Command
{
    const char* name;
    const char* usage;
    int (*run)(const vxpublish::Args&);
};

const Command kCommands[] = {
    {"keygen", "keygen [--ed25519] [--passphrase-file F | --passphrase-fd N] PRIVATE PUBLIC",
     vxpublish::runKeygen},
    {"seal", "seal --passphrase-file F | --passphrase-fd N PLAIN SEALED", vxpublish::runSeal},
    {"keyid", "keyid KEYFILE", vxpublish::runKeyid},
    {"sign", "sign PRIVATE.der FILE", vxpublish::runSign},
    {"verify", "verify PUBLIC FILE", vxpublish::runVerify},
    {"release", "release --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR",
     vxpublish::runRelease},
    {"timestamp-keygen", "timestamp-keygen PRIVATE PUBLIC", vxpublish::runTimestampKeygen},
    {"versions", "versions --key PRIVATE --expires AGE (--versions LIST | --from FILE) --out FILE",
     vxpublish::runVersions},
};

// One line, like every other failure of the tool.
int usage(const std::string& reason)
{
    std::string text = reason + "; usage:";
    for (const Command& command : kCommands)
        text += std::string(&command == kCommands ? " " : " | ") + "vxpublish " + command.usage;
    return vxpublish::usageError("", text);
}

bool asksForHelp(const vxpublish::Args& args)
{
    for (const std::string& arg : args) {
        if (arg == "--help")
            return true;
    }
    return false;
}

int printHelp(const char* text)
{
    std::fputs(text, stdout);
    return std::fflush(stdout) == 0 ? vxpublish::EXIT_OK : vxpublish::EXIT_ERROR;
}

} // namespace

namespace vxpublish {

int fail(int status, const std::string& reason)
{
    std::fprintf(stderr, "vxpublish: %s\n", reason.c_str());
    return status;
}

} // namespace vxpublish

int main(int argc, char* argv[])
{
    if (argc < 2)
        return usage("no command");
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "help") == 0))
        return printHelp(vxpublish::toolHelp());
    for (const Command& command : kCommands) {
        if (std::strcmp(argv[1], command.name) != 0)
            continue;
        const vxpublish::Args args(argv + 2, argv + argc);
        if (asksForHelp(args)) {
            const char* help = vxpublish::commandHelp(command.name);
            return help != nullptr ? printHelp(help) : usage("no help for " + std::string(command.name));
        }
        try {
            initCrypto();
        } catch (const crypt_exception& e) {
            return vxpublish::fail(vxpublish::EXIT_ERROR, e.what());
        }
        return command.run(args);
    }
    return usage("unknown command '" + std::string(argv[1]) + "'");
}
