#include "releasecheck.h"

#include "releasenames.h"

#include <set>

namespace vxpublish {

namespace {

// "a/b/c" -> "a", "a/b"
std::set<std::string> directoriesOf(const std::string& path)
{
    std::set<std::string> directories;
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        directories.insert(path.substr(0, slash));
    return directories;
}

bool underRecursiveDelete(const std::string& path, const std::map<std::string, bool>& deletes)
{
    for (const std::string& directory : directoriesOf(path)) {
        const auto it = deletes.find(directory);
        if (it != deletes.end() && it->second)
            return true;
    }
    return false;
}

} // namespace

bool checkTemporaryNames(const Tree& tree, const std::string& product, std::string& reason)
{
    const std::string iniName = productIniName(product);
    std::map<std::string, std::string> owners; // file name -> what claims it
    for (const std::string& session : {iniName, packedName(iniName), signatureName(iniName),
                                       std::string("update.ini")})
        owners[session] = "the updater's session file '" + session + "'";
    std::set<std::string> directories;

    for (const auto& [path, file] : tree) {
        if (!checkReleasePath(path, reason) || !checkLineKinds(path, product, reason))
            return false;
        const std::set<std::string> own = directoriesOf(path);
        directories.insert(own.begin(), own.end());
        for (const std::string& name :
             {path, path + kPackedSuffix, path + kPatchSuffix, path + kOldCopySuffix}) {
            const auto [it, inserted] = owners.emplace(name, "'" + path + "'");
            if (!inserted) {
                reason = "'" + path + "' and " + it->second + " would both use the name '" + name
                         + "' in the updater's temporary directory";
                return false;
            }
        }
    }
    for (const std::string& directory : directories) {
        const auto it = owners.find(directory);
        if (it != owners.end()) {
            reason = "the directory '" + directory + "' and " + it->second
                     + " would meet in the updater's temporary directory";
            return false;
        }
    }
    return true;
}

bool checkKinds(const Tree& newTree, const Tree& newestOld, std::string& reason)
{
    for (const auto& [path, file] : newestOld) {
        if (newTree.count(path) == 0 && treeCovers(newTree, path)) {
            reason = "'" + path + "' is a file in the newest old tree but a directory in the new one";
            return false;
        }
    }
    for (const auto& [path, file] : newTree) {
        if (newestOld.count(path) == 0 && treeCovers(newestOld, path)) {
            reason = "'" + path + "' is a directory in the newest old tree but a file in the new one";
            return false;
        }
    }
    return true;
}

bool checkDeletes(const std::map<std::string, bool>& deletes, const Tree& newTree,
                  std::string& reason)
{
    for (const auto& [path, recursive] : deletes) {
        if (treeCovers(newTree, path)) {
            reason = "--delete '" + path + "' would remove what this release installs";
            return false;
        }
    }
    return true;
}

void addVanishedFiles(const Tree& newTree, const Tree& newestOld,
                      std::map<std::string, bool>& deletes)
{
    for (const auto& [path, file] : newestOld) {
        if (!treeCovers(newTree, path) && !underRecursiveDelete(path, deletes))
            deletes.emplace(path, false);
    }
}

} // namespace vxpublish
