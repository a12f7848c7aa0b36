#pragma once
// The files of one installation tree (a --new or --old directory of
// `vxpublish release`), keyed by their path relative to the tree's top with
// "/" between components, which is also how the updater names installed
// files. Only regular files count: the updater installs nothing else, so
// empty directories are not part of a release.

#include <cstdint>
#include <map>
#include <string>

namespace vxpublish {

struct TreeFile
{
    std::string path;   // relative, "/"-separated
    std::string source; // where to read it on this machine
    std::uint64_t size = 0;
    std::string sha512; // lowercase hex
};

using Tree = std::map<std::string, TreeFile>;

// Reads and hashes every file below `root`. A symbolic link to a file counts
// as that file's content (the updater writes plain files); a link to a
// directory, a loop or a device or socket is refused, as is a root that is not
// a directory. False with a one-line reason.
bool scanTree(const std::string& root, Tree& tree, std::string& reason);

// True when `path` is a file of the tree or a directory holding one.
bool treeCovers(const Tree& tree, const std::string& path);

} // namespace vxpublish
