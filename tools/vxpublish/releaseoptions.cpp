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

bool setPassphrase(const char* name, const std::string& value, ReleaseOptions& options, std::string& reason)
{
    if (!options.passphraseOption.empty()) {
        reason = "one passphrase per run: --passphrase-file or --passphrase-fd";
        return false;
    }
    options.passphraseOption = name;
    options.passphraseValue = value;
    return true;
}

// What parsing carries from option to option: the options, and the text of
// --pack, checked once every option is read.
struct ParseState
{
    ReleaseOptions& options;
    std::string pack = "auto";
};

// An option with a value: kept as given (`text`), added to a list (`list`)
// or checked and kept by `parse`.
struct Option
{
    const char* name;
    bool repeatable;
    std::string ReleaseOptions::*text = nullptr;
    std::vector<std::string> ReleaseOptions::*list = nullptr;
    bool (*parse)(const std::string& value, ParseState& state, std::string& reason) = nullptr;
};

const Option kOptions[] = {
    {"--product", false, &ReleaseOptions::product},
    {"--version", false, &ReleaseOptions::version},
    {"--key", false, &ReleaseOptions::keyPath},
    {"--new", false, &ReleaseOptions::newDir},
    {"--old", true, nullptr, &ReleaseOptions::oldDirs},
    {"--delete", true, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string& reason) {
         return parseDelete(value, state.options.deletes, reason);
     }},
    {"--pack", false, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string&) {
         state.pack = value;
         return true;
     }},
    {"--out", false, &ReleaseOptions::outDir},
    // Beyond a few hundred threads nothing is gained, and each may hold
    // several times a large file in memory.
    {"--jobs", false, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string& reason) {
         return parseCount("--jobs", value, 256, state.options.jobs, reason);
     }},
    {"--cache", false, &ReleaseOptions::cacheDir},
    {"--patch", false, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string& reason) {
         if (value != "smaller" && value != "always") {
             reason = "--patch must be smaller or always, not '" + value + "'";
             return false;
         }
         state.options.patchAlways = value == "always";
         return true;
     }},
    {"--patch-from-last", false, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string& reason) {
         return parseCount("--patch-from-last", value, kMaxPatchFromLast, state.options.patchFromLast,
                           reason);
     }},
    {"--ed25519-key", true, nullptr, &ReleaseOptions::ed25519Keys},
    {"--ed25519-signer", true, nullptr, &ReleaseOptions::ed25519Signers},
    {"--rsa-signer", false, &ReleaseOptions::rsaSigner},
    {"--passphrase-file", false, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string& reason) {
         return setPassphrase("--passphrase-file", value, state.options, reason);
     }},
    {"--passphrase-fd", false, nullptr, nullptr,
     [](const std::string& value, ParseState& state, std::string& reason) {
         return setPassphrase("--passphrase-fd", value, state.options, reason);
     }},
};

const Option* findOption(const std::string& name)
{
    for (const Option& option : kOptions) {
        if (name == option.name)
            return &option;
    }
    return nullptr;
}

// The option at args[i] with its value, given after "=" or as the next
// argument (then `i` moves past it). Null with the reason.
const Option* readOption(const Args& args, size_t& i, std::string& value, std::string& reason)
{
    std::string name = args[i];
    const size_t equals = name.find('=');
    if (equals != std::string::npos && name.compare(0, 2, "--") == 0) {
        value = name.substr(equals + 1);
        name = name.substr(0, equals);
    } else if (findOption(name) != nullptr) {
        if (i + 1 == args.size()) {
            reason = name + " needs a value";
            return nullptr;
        }
        value = args[++i];
    }
    const Option* option = findOption(name);
    if (option == nullptr)
        reason = "unknown argument '" + args[i] + "'";
    return option;
}

bool applyOption(const Option& option, const std::string& value, ParseState& state, std::string& reason)
{
    if (option.text != nullptr)
        state.options.*option.text = value;
    else if (option.list != nullptr)
        (state.options.*option.list).push_back(value);
    else
        return option.parse(value, state, reason);
    return true;
}

bool parsePackMode(const std::string& text, PackMode& pack, std::string& reason)
{
    if (text == "auto")
        pack = PackMode::Auto;
    else if (text == "none")
        pack = PackMode::None;
    else if (text == "all")
        pack = PackMode::All;
    else {
        reason = "--pack must be auto, none or all, not '" + text + "'";
        return false;
    }
    return true;
}

// What holds only for the options together, once all are read.
bool checkComplete(const std::set<std::string>& seen, ParseState& state, std::string& reason)
{
    ReleaseOptions& options = state.options;
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
    return parsePackMode(state.pack, options.pack, reason) && checkProductName(options.product, reason)
           && checkVersion(options.version, reason);
}

} // namespace

bool parseReleaseOptions(const Args& args, ReleaseOptions& options, std::string& reason)
{
    ParseState state{options};
    std::set<std::string> seen;
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
        std::string value;
        const Option* option = readOption(args, i, value, reason);
        if (option == nullptr)
            return false;
        if (!seen.insert(option->name).second && !option->repeatable) {
            reason = std::string(option->name) + " given twice";
            return false;
        }
        if (value.empty()) {
            reason = std::string(option->name) + " needs a value";
            return false;
        }
        if (!applyOption(*option, value, state, reason))
            return false;
    }
    return checkComplete(seen, state, reason);
}

} // namespace vxpublish
