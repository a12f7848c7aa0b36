#include "releasetree.h"

#include "sha512.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace vxpublish {

namespace {

bool addFile(const fs::path& file, const std::string& relative, Tree& tree, std::string& reason)
{
    std::error_code error;
    const std::uintmax_t size = fs::file_size(file, error);
    if (error) {
        reason = "cannot read '" + file.string() + "': " + error.message();
        return false;
    }
    TreeFile entry;
    entry.path = relative;
    entry.source = file.string();
    entry.size = size;
    if (!sha512OfFile(entry.source, entry.sha512, reason))
        return false;
    tree.emplace(relative, std::move(entry));
    return true;
}

} // namespace

bool scanTree(const std::string& root, Tree& tree, std::string& reason)
{
    tree.clear();
    std::error_code error;
    if (!fs::is_directory(root, error)) {
        reason = "'" + root + "' is not a directory";
        return false;
    }
    fs::recursive_directory_iterator it(root, error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path& entry = it->path();
        const std::string relative = entry.lexically_relative(root).generic_string();
        const fs::file_status linkStatus = it->symlink_status(error);
        if (error)
            break;
        const fs::file_status status = it->status(error);
        if (error) {
            reason = "cannot follow '" + entry.string() + "': " + error.message();
            return false;
        }
        if (fs::is_directory(status)) {
            // The iterator does not follow links to directories; the updater
            // could only install such a directory as a copy, so say so.
            if (fs::is_symlink(linkStatus)) {
                reason = "'" + entry.string() + "' is a link to a directory; "
                         "copy the directory into the tree instead";
                return false;
            }
            continue;
        }
        if (!fs::is_regular_file(status)) {
            reason = "'" + entry.string() + "' is neither a file nor a directory";
            return false;
        }
        if (!addFile(entry, relative, tree, reason))
            return false;
    }
    if (error) {
        reason = "cannot list '" + root + "': " + error.message();
        return false;
    }
    return true;
}

bool treeCovers(const Tree& tree, const std::string& path)
{
    if (tree.count(path) != 0)
        return true;
    const std::string prefix = path + "/";
    const auto next = tree.lower_bound(prefix);
    return next != tree.end() && next->first.compare(0, prefix.size(), prefix) == 0;
}

} // namespace vxpublish
