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

namespace vxpublish {

// Names in the new tree, and no two names a file may be given (installed
// path, container, patch, old copy, or a directory of one) that meet.
bool checkTemporaryNames(const Tree& tree, const std::string& product, std::string& reason);

// A path that is a file in one tree and a directory in the other cannot be
// installed over: the updater neither removes the file before creating the
// directory nor the other way round.
bool checkKinds(const Tree& newTree, const Tree& newestOld, std::string& reason);

// The deletions given by the publisher never touch what the release installs
// (they run after the files are installed).
bool checkDeletes(const std::map<std::string, bool>& deletes, const Tree& newTree,
                  std::string& reason);

// Files of the newest old tree that the new tree no longer has, unless an
// explicit recursive deletion already removes them.
void addVanishedFiles(const Tree& newTree, const Tree& newestOld,
                      std::map<std::string, bool>& deletes);

} // namespace vxpublish
