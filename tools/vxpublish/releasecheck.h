#pragma once
// Checks that a release can be installed before anything is written. The
// updater stores every download, unpacked file and old copy of a patched file
// under its key or installed path (+ "_old") in one temporary directory next
// to its own session files, and installs into directories where the older
// release may hold a file of the same name. Each check returns false with a
// one-line reason.

#include "releasetree.h"

#include <map>
#include <string>
#include <vector>

namespace vxpublish {

// Names in the new tree, and no two names a file may be given (installed
// path, container, patch, old copy, or a directory of one; `patchKeys` adds
// the keys of patches from older versions by installed path) that meet.
bool checkTemporaryNames(const Tree& tree, const std::string& product,
                         const std::map<std::string, std::vector<std::string>>& patchKeys,
                         std::string& reason);

// A path that is a file in one tree and a directory in the other cannot be
// installed over: the updater neither removes the file before creating the
// directory nor the other way round. Every older tree is checked, since an
// installation may still be at any of them; `oldDir` names it in the reason.
bool checkKinds(const Tree& newTree, const Tree& oldTree, const std::string& oldDir, std::string& reason);

// The deletions given by the publisher never touch what the release installs
// (they run after the files are installed).
bool checkDeletes(const std::map<std::string, bool>& deletes, const Tree& newTree,
                  std::string& reason);

// Files and directories of any older tree that the new tree no longer has,
// unless an explicit recursive deletion already removes them: an
// installation that skipped releases still holds them. Directories get value
// 1, so they go only once empty, with whatever the user put there kept; an
// updater that deletes the deepest paths first removes them in the same
// session, one that deletes in the ini's order empties them then and removes
// them in the next release that lists them.
void addVanishedPaths(const Tree& newTree, const std::vector<Tree>& oldTrees,
                      std::map<std::string, bool>& deletes);

// Updaters that keep one patch per installed path keep the patch line their
// INI reader returns last, in byte order of the keys; that must be the patch
// from the newest older version (`newestPatches`: installed path -> key), the
// one their users one release behind can apply. `lines` are the file section's.
bool checkKeptPatches(const std::map<std::string, std::string>& lines,
                      const std::map<std::string, std::string>& newestPatches, std::string& reason);

} // namespace vxpublish
