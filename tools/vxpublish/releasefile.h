#pragma once
// Publishes one file of a release: writes what clients download into the
// release's file directory and returns the product ini lines for it.
//
// A file is published either plainly (key = its installed path, 2 fields) or
// as an LZMA2 container (key = path + "._lzma2_", 5 fields ending in the
// installed path); with an older version of it, an ensemble patch may be
// added (key = path + "._patch_", 5 fields: the patch, then the old file it
// applies to, then the installed path). The updater links a patch only to a
// 5-field line, so a file with a patch is always published packed, and only
// one patch per file can take effect. A patch is kept only when it is smaller
// than the container; a container only when --pack all, a patch, or being
// smaller than the file asks for it.
//
// Containers and patches come from the cache when it holds them and go into
// it when they are made. Files may be published from several threads at
// once, each with a scratch directory of its own.

#include "artifactcache.h"
#include "releaseoptions.h"
#include "releasetree.h"

#include <map>
#include <string>

namespace vxpatch {
class ThreadBudget;
}

namespace vxpublish {

struct PublishedFile
{
    std::map<std::string, std::string> lines; // ini key -> value
    bool packed = false;
    bool patched = false;
    bool patchMade = false;      // the engine made a patch (kept or not) ...
    bool patchFromCache = false; // ... or the cache held one
    std::uint64_t bytes = 0;     // of the files written for clients
};

// `old` is the older version to patch from, or null. `filesDir` receives the
// downloads under their keys, `scratchDir` takes checks' by-products. `cache`
// may be null; a failure to store into it is no failure of the file but
// comes back in `cacheTrouble`. `threads` lends the patch engine threads
// beside the caller's (may be null). False
// with a one-line reason; `engineFailure` tells a refusal of the patch
// engine from a file system error. `patchAlways` keeps a patch that is not
// smaller than the container.
bool publishFile(const TreeFile& file, const TreeFile* old, PackMode pack, bool patchAlways,
                 const std::string& filesDir, const std::string& scratchDir, const ArtifactCache* cache,
                 vxpatch::ThreadBudget* threads, PublishedFile& published, bool& engineFailure, std::string& reason,
                 std::string& cacheTrouble);


} // namespace vxpublish
