#pragma once
// Publishes one file of a release: writes what clients download into the
// release's file directory and returns the product ini lines for it.
//
// A file is published either plainly (key = its installed path, 2 fields) or
// as an LZMA2 container (key = path + "._lzma2_", 5 fields ending in the
// installed path); with older versions of it, ensemble patches may be added
// (5 fields: the patch, then the old file it applies to, then the installed
// path), one from each older version given. The updater links a patch only
// to a 5-field line, so a file with a patch is always published packed. A
// patch is kept only when it is smaller than the container; a container only
// when --pack all, a patch, or being smaller than the file asks for it.
//
// Patch keys: the patch from the newest older version that keeps one is
// "<path>._patch_"; each other one is "<path>._<H>_patch_", H the first 16
// hex digits of the SHA-512 of the file it applies to. Updaters of the first
// kind keep one patch per installed path, the one whose key their reader
// returns last, in byte order; hex digits sort before "p", so that is the
// patch from the newest older version, where most of their users come from.
//
// Containers and patches come from the cache when it holds them and go into
// it when they are made. Nothing is published unchecked: every container,
// cached or fresh, is unpacked and must give exactly the file, and every
// patch is applied to its old file and must give exactly the new one. A
// cached entry that fails is discarded and made anew (the cache warns); a
// fresh one that fails is a refusal of the engine. Files may be published from several threads at
// once, each with a scratch directory of its own.

#include "artifactcache.h"
#include "releaseoptions.h"
#include "releasetree.h"

#include <map>
#include <string>
#include <vector>

namespace vxpatch {
class ThreadBudget;
}

namespace vxpublish {

struct PublishedFile
{
    std::map<std::string, std::string> lines; // ini key -> value
    bool packed = false;
    int patches = 0;            // published
    int patchesMade = 0;        // made by the engine (kept or not) ...
    int patchesFromCache = 0;   // ... or held by the cache
    std::string newestPatchKey; // the patch updaters of the first kind keep, if any
    std::uint64_t bytes = 0;    // of the files written for clients
};

// The key of the patch from `baseSha512`: "<path>._patch_" for the newest
// older version that keeps a patch, "<path>._<H>_patch_" for the others.
std::string patchKey(const std::string& path, const std::string& baseSha512, bool newest);

// `olds` are the older versions to patch from, newest first, each differing
// from `file` and from each other. `filesDir` receives the
// downloads under their keys, `scratchDir` takes checks' by-products. `cache`
// may be null; a failure to store into it is no failure of the file but
// comes back in `cacheTrouble`. `threads` lends the patch engine threads
// beside the caller's (may be null). False
// with a one-line reason; `engineFailure` tells a refusal of the patch
// engine from a file system error. `patchAlways` keeps a patch that is not
// smaller than the container.
bool publishFile(const TreeFile& file, const std::vector<const TreeFile*>& olds, PackMode pack,
                 bool patchAlways, const std::string& filesDir, const std::string& scratchDir,
                 const ArtifactCache* cache, vxpatch::ThreadBudget* threads, PublishedFile& published,
                 bool& engineFailure, std::string& reason, std::string& cacheTrouble);

} // namespace vxpublish
