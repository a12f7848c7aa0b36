#include "releasecheck.h"

#include "releasenames.h"
#include "updatefiles.h"

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

bool checkTemporaryNames(const Tree& tree, const std::string& product,
                         const std::map<std::string, std::vector<std::string>>& patchKeys,
                         std::string& reason)
{
    const std::string iniName = UpdateFiles::productIniName(product);
    std::map<std::string, std::string> owners; // file name -> what claims it
    for (const std::string& session :
         {iniName, UpdateFiles::packedName(iniName), UpdateFiles::signatureName(iniName),
          UpdateFiles::modernSignatureName(iniName), std::string("update.ini")})
        owners[session] = "the updater's session file '" + session + "'";
    std::set<std::string> directories;

    for (const auto& [path, file] : tree) {
        if (!checkReleasePath(path, reason) || !checkLineKinds(path, product, reason))
            return false;
        const std::set<std::string> own = directoriesOf(path);
        directories.insert(own.begin(), own.end());
        std::vector<std::string> names = {path, path + UpdateFiles::kPackedSuffix,
                                          path + UpdateFiles::kPatchSuffix,
                                          path + UpdateFiles::kOldCopySuffix};
        const auto older = patchKeys.find(path);
        if (older != patchKeys.end())
            names.insert(names.end(), older->second.begin(), older->second.end());
        for (const std::string& name : names) {
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

bool checkKinds(const Tree& newTree, const Tree& oldTree, const std::string& oldDir, std::string& reason)
{
    for (const auto& [path, file] : oldTree) {
        if (newTree.count(path) == 0 && treeCovers(newTree, path)) {
            reason =
                "'" + path + "' is a file in the old tree '" + oldDir + "' but a directory in the new one";
            return false;
        }
    }
    for (const auto& [path, file] : newTree) {
        if (oldTree.count(path) == 0 && treeCovers(oldTree, path)) {
            reason =
                "'" + path + "' is a directory in the old tree '" + oldDir + "' but a file in the new one";
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

void addVanishedPaths(const Tree& newTree, const std::vector<Tree>& oldTrees,
                      std::map<std::string, bool>& deletes)
{
    for (const Tree& oldTree : oldTrees) {
        for (const auto& [path, file] : oldTree) {
            std::set<std::string> paths = directoriesOf(path);
            paths.insert(path);
            for (const std::string& vanished : paths) {
                if (!treeCovers(newTree, vanished) && !underRecursiveDelete(vanished, deletes))
                    deletes.emplace(vanished, false);
            }
        }
    }
}

bool checkKeptPatches(const std::map<std::string, std::string>& lines,
                      const std::map<std::string, std::string>& newestPatches, std::string& reason)
{
    std::map<std::string, std::string> kept; // installed path -> key read last
    for (const auto& [key, value] : lines) {
        const size_t installed = value.rfind(UpdateFiles::kFieldSeparator);
        if (UpdateFiles::isPatchKey(key) && installed != std::string::npos)
            kept[value.substr(installed + 2)] = key;
    }
    for (const auto& [path, key] : kept) {
        const auto newest = newestPatches.find(path);
        const std::string expected = newest == newestPatches.end() ? "none" : "'" + newest->second + "'";
        if (newest == newestPatches.end() || newest->second != key) {
            reason = "updaters that keep one patch per file would keep '" + key + "' for '" + path
                     + "', not the patch from the newest older version (" + expected + ")";
            return false;
        }
    }
    return true;
}

} // namespace vxpublish
