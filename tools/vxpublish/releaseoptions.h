#pragma once
// The command line of `vxpublish release`:
//   --product NAME --version N --key PRIVATE.der --new DIR --out OUTDIR
//   [--old DIR ...] [--delete PATH[=1|=2] ...] [--pack auto|none|all]
//   [--jobs N] [--cache DIR] [--patch smaller|always] [--patch-from-last N]
//   [--ed25519-key SECRET ...] [--ed25519-signer PUBLIC=COMMAND ...]
//   [--rsa-signer PUBLIC.der=COMMAND] [--passphrase-file FILE | --passphrase-fd N]
//   [--allow-downgrade]
// Each option takes its value as the next argument or after "=" in the same
// argument (--version=7). --old and --delete may repeat; --old trees are
// listed oldest first, so the last one is the release just before this one.
// Patches are made from the last --patch-from-last of them (default
// kDefaultPatchFromLast); every --old tree counts for deletions.
// --jobs is how many files are packed and patched at once (default: one per
// core); --cache names the directory of containers and patches kept between
// runs (default $XDG_CACHE_HOME/vxpublish, else ~/.cache/vxpublish: never
// inside the served tree). --patch always publishes every
// patch made, even one larger than its container: for measuring how clients
// apply patches of big files, never for a release users fetch.
// --ed25519-key, repeatable, signs the product ini with that Ed25519 key as
// well, into "<ini>.signatures": all keys at once while keys are rotated.
// The signers stand for keys held elsewhere (releasesigners.h); --rsa-signer
// replaces --key. The passphrase opens every sealed key file of the run.
// --allow-downgrade marks the release as one that may replace newer versions
// (a withdrawn release is followed by an older one): installations refuse
// versions below the one they have unless the signed ini says so.

#include "commands.h"

#include <map>
#include <string>
#include <vector>

namespace vxpublish {

enum class PackMode { Auto, None, All };

// Clients one to three releases behind fetch patches; further back, where
// few clients are, the container. Every version back costs a patch per file
// that changed, in the release's time and on the server.
constexpr unsigned kDefaultPatchFromLast = 3;
constexpr unsigned kMaxPatchFromLast = 100;

struct ReleaseOptions
{
    std::string product;
    std::string version; // canonical decimal, as the updater prints it
    std::string keyPath;
    std::vector<std::string> ed25519Keys;
    std::vector<std::string> ed25519Signers; // PUBLIC=COMMAND
    std::string rsaSigner;                   // PUBLIC.der=COMMAND
    std::string passphraseOption;            // --passphrase-file or --passphrase-fd
    std::string passphraseValue;
    std::string newDir;
    std::vector<std::string> oldDirs;
    std::map<std::string, bool> deletes; // path -> recursive
    PackMode pack = PackMode::Auto;
    std::string outDir;
    unsigned jobs = 1;
    std::string cacheDir;
    bool patchAlways = false;
    unsigned patchFromLast = kDefaultPatchFromLast;
    bool allowDowngrade = false;
};

// False with a one-line reason on unknown, missing, repeated or malformed
// options; checks names and numbers but touches no file.
bool parseReleaseOptions(const Args& args, ReleaseOptions& options, std::string& reason);

} // namespace vxpublish
