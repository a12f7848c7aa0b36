// vxpublish timestamp-keygen PRIVATE PUBLIC: a new Ed25519 timestamp key
// pair, as text: "ed25519-secret <128 hex digits>" (owner-only) and
// "ed25519 <64 hex digits>" for the updater's build (VX_TIMESTAMP_KEYS).
// Existing files are never overwritten. The timestamp key is not a release
// key: it lives on the machine that re-signs the version list unattended.
//
// vxpublish versions --key PRIVATE --expires AGE (--versions LIST | --from FILE)
//     --out FILE [--signed-at SECONDS]
// signs the version list (three channel entries "N#label") with the time and
// the expiry and writes the one-line file that vxserver serves
// (--versions-file; SIGHUP makes it read it again). --from takes the channel
// entries of an existing file, signed or not, so that a timer re-signs the
// served list in place. AGE is a number of seconds or a number followed by
// s, m, h or d. --signed-at replaces the current time (tests, and signing
// ahead of time). The file is replaced through a rename, never half written.

#include "commands.h"
#include "ed25519.h"
#include "ed25519keyfile.h"
#include "fileio.h"
#include "help.h"
#include "versionanswer.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>

namespace vxpublish {

namespace {

const char* const kVersionsUsage = "--key, --expires, --out and one of --versions and --from are needed";

bool parseAge(const std::string& text, std::int64_t* seconds)
{
    static const std::map<char, std::int64_t> units = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}};
    std::string digits = text;
    std::int64_t unit = 1;
    if (!text.empty() && units.count(text.back()) != 0) {
        unit = units.at(text.back());
        digits.pop_back();
    }
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *seconds = std::stoll(digits) * unit;
    return *seconds > 0;
}

bool loadTimestampKey(const std::string& path, ed25519::KeyPair* pair, std::string& reason)
{
    // Owner-only or sealed, as every private key file (ed25519keyfile.h);
    // the public half is derived from the seed again, never taken as stored.
    return loadSecretKey(path, nullptr, pair->secretKey, pair->publicKey, reason);
}

// The text of --from: its first line's channel entries.
bool readChannels(const std::string& path, std::string* channels, std::string& reason)
{
    Bytes bytes;
    if (!readFile(path, bytes, reason))
        return false;
    std::string text(bytes.begin(), bytes.end());
    text = text.substr(0, text.find('\n'));
    *channels = versionanswer::channelEntries(text);
    return true;
}

} // namespace

int runTimestampKeygen(const Args& args)
{
    if (const int status = checkPositional("timestamp-keygen", args, {"PRIVATE", "PUBLIC"});
        status != EXIT_OK)
        return status;
    const ed25519::KeyPair pair = ed25519::makeKeyPair();
    const std::string secretText = renderSecretKey(pair.secretKey);
    const std::string publicText = renderPublicKey(pair.publicKey);
    std::string reason;
    if (!writeNewFile(args[0], Bytes(secretText.begin(), secretText.end()), 0600, reason))
        return fail(EXIT_ERROR, reason);
    if (!writeNewFile(args[1], Bytes(publicText.begin(), publicText.end()), 0644, reason)) {
        std::remove(args[0].c_str());
        return fail(EXIT_ERROR, reason);
    }
    std::printf("timestamp key %s\n", ed25519::keyId(pair.publicKey).c_str());
    return EXIT_OK;
}

int runVersions(const Args& args)
{
    std::map<std::string, std::string> options;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        static const char* const known[] = {"--key",  "--expires", "--versions",
                                            "--from", "--out",     "--signed-at"};
        bool isKnown = false;
        for (const char* k : known)
            isKnown = isKnown || name == k;
        if (!isKnown)
            return usageError("versions", "unknown argument '" + name + "'");
        if (i + 1 == args.size())
            return usageError("versions", name + " needs a value");
        if (options.count(name) != 0)
            return usageError("versions", name + " given twice");
        options[name] = args[++i];
    }
    if (options.count("--key") == 0 || options.count("--expires") == 0 || options.count("--out") == 0
        || options.count("--versions") + options.count("--from") != 1)
        return usageError("versions", kVersionsUsage);

    std::int64_t lifetime = 0;
    if (!parseAge(options["--expires"], &lifetime))
        return usageError("versions",
                          "--expires '" + options["--expires"] + "' is not an age such as 7d, 12h or 3600");
    std::int64_t signedAt = std::time(nullptr);
    if (options.count("--signed-at") != 0) {
        const std::string& text = options["--signed-at"];
        if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos)
            return usageError("versions", "--signed-at '" + text + "' is not a number of seconds");
        signedAt = std::stoll(text);
    }

    std::string reason;
    ed25519::KeyPair pair;
    if (!loadTimestampKey(options["--key"], &pair, reason))
        return fail(EXIT_ERROR, reason);
    std::string channels = options["--versions"];
    if (options.count("--from") != 0 && !readChannels(options["--from"], &channels, reason))
        return fail(EXIT_ERROR, reason);
    std::string reply;
    if (!versionanswer::sign(channels, signedAt, signedAt + lifetime, pair.secretKey, pair.publicKey, &reply,
                             &reason))
        return fail(EXIT_INVALID, reason);
    const std::string line = reply + "\n";
    if (!replaceFile(options["--out"], Bytes(line.begin(), line.end()), reason))
        return fail(EXIT_ERROR, reason);
    return EXIT_OK;
}

} // namespace vxpublish
