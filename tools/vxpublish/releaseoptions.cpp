#include "releaseoptions.h"

#include "releasenames.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <thread>

namespace vxpublish {

namespace {

// The updater keeps its version in an int and prints it without leading
// zeros; the release must be found under exactly that text.
bool checkVersion(const std::string& version, std::string& reason)
{
    bool digits = !version.empty() && version.size() <= 10;
    for (char c : version)
        digits = digits && c >= '0' && c <= '9';
    if (!digits || (version.size() > 1 && version.front() == '0')
        || std::stoull(version) > 2147483647ULL) {
        reason = "--version '" + version
                 + "' is not a decimal number from 0 to 2147483647 without leading zeros";
        return false;
    }
    return true;
}

bool parseDelete(const std::string& text, std::map<std::string, bool>& deletes,
                 std::string& reason)
{
    std::string path = text;
    bool recursive = false;
    const size_t equals = text.rfind('=');
    if (equals != std::string::npos) {
        const std::string value = text.substr(equals + 1);
        if (value != "1" && value != "2") {
            reason = "--delete '" + text + "': the value after '=' must be 1 or 2";
            return false;
        }
        path = text.substr(0, equals);
        recursive = value == "2";
    }
    if (!checkReleasePath(path, reason)) {
        reason = "--delete: " + reason;
        return false;
    }
    deletes[path] = recursive;
    return true;
}

bool parseCount(const std::string& name, const std::string& text, unsigned max, unsigned& count,
                std::string& reason)
{
    const bool digits =
        !text.empty() && text.size() <= 3 && text.find_first_not_of("0123456789") == std::string::npos;
    count = digits ? static_cast<unsigned>(std::stoul(text)) : 0;
    if (count < 1 || count > max) {
        reason = name + " must be a number from 1 to " + std::to_string(max) + ", not '" + text + "'";
        return false;
    }
    return true;
}

// Outside the served tree: a web server would hand the cache to anyone (the
// containers and patches of releases not yet published among them), and
// whoever may write the served tree could plant entries in it.
std::string defaultCacheDir()
{
    const char* cacheHome = std::getenv("XDG_CACHE_HOME");
    if (cacheHome != nullptr && cacheHome[0] == '/')
        return std::string(cacheHome) + "/vxpublish";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.cache/vxpublish";
    return std::string();
}

} // namespace

bool parseReleaseOptions(const Args& args, ReleaseOptions& options, std::string& reason)
{
    const std::set<std::string> repeatable = {"--old", "--delete", "--ed25519-key", "--ed25519-signer"};
    const std::set<std::string> known = {"--product",         "--version",        "--key",         "--new",
                                         "--old",             "--delete",         "--pack",        "--out",
                                         "--jobs",            "--cache",          "--patch",       "--patch-from-last",
                                         "--ed25519-key",     "--ed25519-signer", "--rsa-signer",  "--passphrase-file",
                                         "--passphrase-fd"};
    std::set<std::string> seen;
    std::string pack = "auto";
    options.jobs = std::max(1u, std::thread::hardware_concurrency());
    for (size_t i = 0; i < args.size(); ++i) {
        // The one option without a value.
        if (args[i] == "--allow-downgrade") {
            if (options.allowDowngrade) {
                reason = "--allow-downgrade given twice";
                return false;
            }
            options.allowDowngrade = true;
            continue;
        }
        std::string name = args[i];
        std::string value;
        const size_t equals = name.find('=');
        if (equals != std::string::npos && name.compare(0, 2, "--") == 0) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        } else if (known.count(name) != 0) {
            if (i + 1 == args.size()) {
                reason = name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (known.count(name) == 0) {
            reason = "unknown argument '" + args[i] + "'";
            return false;
        }
        if (!seen.insert(name).second && repeatable.count(name) == 0) {
            reason = name + " given twice";
            return false;
        }
        if (value.empty()) {
            reason = name + " needs a value";
            return false;
        }
        if (name == "--product")
            options.product = value;
        else if (name == "--version")
            options.version = value;
        else if (name == "--key")
            options.keyPath = value;
        else if (name == "--new")
            options.newDir = value;
        else if (name == "--out")
            options.outDir = value;
        else if (name == "--pack")
            pack = value;
        else if (name == "--cache")
            options.cacheDir = value;
        else if (name == "--patch") {
            if (value != "smaller" && value != "always") {
                reason = "--patch must be smaller or always, not '" + value + "'";
                return false;
            }
            options.patchAlways = value == "always";
        } else if (name == "--jobs") {
            // Beyond a few hundred threads nothing is gained, and each may
            // hold several times a large file in memory.
            if (!parseCount(name, value, 256, options.jobs, reason))
                return false;
        } else if (name == "--patch-from-last") {
            if (!parseCount(name, value, kMaxPatchFromLast, options.patchFromLast, reason))
                return false;
        } else if (name == "--old")
            options.oldDirs.push_back(value);
        else if (name == "--ed25519-key")
            options.ed25519Keys.push_back(value);
        else if (name == "--ed25519-signer")
            options.ed25519Signers.push_back(value);
        else if (name == "--rsa-signer")
            options.rsaSigner = value;
        else if (name == "--passphrase-file" || name == "--passphrase-fd") {
            if (!options.passphraseOption.empty()) {
                reason = "one passphrase per run: --passphrase-file or --passphrase-fd";
                return false;
            }
            options.passphraseOption = name;
            options.passphraseValue = value;
        } else if (!parseDelete(value, options.deletes, reason))
            return false;
    }

    if ((seen.count("--key") != 0) == (seen.count("--rsa-signer") != 0)) {
        reason = "give the RSA key of the .sig with --key or --rsa-signer, once";
        return false;
    }
    for (const char* required : {"--product", "--version", "--new", "--out"}) {
        if (seen.count(required) == 0) {
            reason = std::string("missing ") + required;
            return false;
        }
    }
    if (options.cacheDir.empty())
        options.cacheDir = defaultCacheDir();
    if (pack == "auto")
        options.pack = PackMode::Auto;
    else if (pack == "none")
        options.pack = PackMode::None;
    else if (pack == "all")
        options.pack = PackMode::All;
    else {
        reason = "--pack must be auto, none or all, not '" + pack + "'";
        return false;
    }
    return checkProductName(options.product, reason) && checkVersion(options.version, reason);
}

} // namespace vxpublish
