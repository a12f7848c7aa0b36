#include "releasefile.h"

#include "log.h"
#include "sha512.h"
#include "updatefiles.h"
#include "vxpatch/ensemble_create.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"

#include <filesystem>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace vxpublish {

namespace {

// The engine reports why it failed only through its log; keep the last error
// so the reason can name it. Sinks see every thread's records, and other
// files are published meanwhile: only this thread's count.
class EngineErrorCapture final
{
public:
    EngineErrorCapture()
        : m_Handle(voxlog::EngineLog::AddSink(
            [this, thread = std::this_thread::get_id()](const voxlog::LogRecord& record) {
                if (record.level <= voxlog::LOG_ERROR && std::this_thread::get_id() == thread)
                    m_LastError = record.message;
            }))
    {
    }
    ~EngineErrorCapture() { voxlog::EngineLog::RemoveSink(m_Handle); }
    EngineErrorCapture(const EngineErrorCapture&) = delete;
    EngineErrorCapture& operator=(const EngineErrorCapture&) = delete;

    std::string because() const { return m_LastError.empty() ? "" : ": " + m_LastError; }

private:
    std::string m_LastError;
    int m_Handle;
};

std::string fields(std::initializer_list<std::string> parts)
{
    std::string value;
    for (const std::string& part : parts)
        value += (value.empty() ? "" : "::") + part;
    return value;
}

struct Artifact
{
    std::string path;
    std::uint64_t size = 0;
    std::string sha512;
};

bool describe(const std::string& path, Artifact& artifact, std::string& reason)
{
    std::error_code error;
    artifact.path = path;
    artifact.size = fs::file_size(path, error);
    if (error) {
        reason = "cannot read '" + path + "': " + error.message();
        return false;
    }
    return sha512OfFile(path, artifact.sha512, reason);
}

bool makeParent(const std::string& path, std::string& reason)
{
    std::error_code error;
    fs::create_directories(fs::path(path).parent_path(), error);
    if (error) {
        reason = "cannot create the directory of '" + path + "': " + error.message();
        return false;
    }
    return true;
}

bool removeFile(const std::string& path, std::string& reason)
{
    std::error_code error;
    fs::remove(path, error);
    if (error) {
        reason = "cannot remove '" + path + "': " + error.message();
        return false;
    }
    return true;
}

// Keeps what was made for later runs; a cache that fails is worth a warning,
// not the release.
void keep(const ArtifactCache* cache, const std::string& key, const std::string& path,
          std::string& cacheTrouble)
{
    std::string reason;
    if (cache != nullptr && !cache->store(key, path, reason) && cacheTrouble.empty())
        cacheTrouble = "the cache keeps nothing: " + reason;
}

// The SHA-512 of what `make` writes into the scratch directory ("" when it
// writes nothing); false only for file system errors.
template <typename Make>
bool hashOfResult(const std::string& scratchDir, Make make, std::string& hash, std::string& reason)
{
    const std::string result = scratchDir + "/rebuilt";
    hash.clear();
    if (!make(result.c_str()))
        return removeFile(result, reason);
    return sha512OfFile(result, hash, reason) && removeFile(result, reason);
}

// A cached entry that does not give what it must was forged, or made by a
// faulty build: it goes, and what it stood for is made anew.
void distrust(const ArtifactCache* cache, const std::string& key, const std::string& path,
              const std::string& what, std::string& cacheTrouble)
{
    cache->discard(key);
    ::unlink(path.c_str());
    if (cacheTrouble.empty())
        cacheTrouble = "the cache held " + what + " that did not check out; it was made anew";
}

// The container must unpack, under the limit the updater sets (the installed
// size listed), to exactly the file.
bool unpacksToFile(const TreeFile& file, const std::string& container, const std::string& scratchDir,
                   bool& exact, std::string& reason)
{
    std::string hash;
    const bool done = hashOfResult(
        scratchDir,
        [&](const char* out) { return vxpatch::UnpackLzmaFile(container.c_str(), out, file.size); }, hash,
        reason);
    exact = done && hash == file.sha512;
    return done;
}

// Packs, cached or fresh, and checks: a container that does not give back the
// file must never reach a client.
bool pack(const TreeFile& file, const std::string& container, const std::string& scratchDir,
          const ArtifactCache* cache, Artifact& packed, bool& engineFailure, std::string& reason,
          std::string& cacheTrouble)
{
    bool exact = false;
    const std::string key = cache != nullptr ? cache->key("container", {file.sha512}) : "";
    if (cache != nullptr && cache->fetch(key, container)) {
        if (!unpacksToFile(file, container, scratchDir, exact, reason))
            return false;
        if (exact)
            return describe(container, packed, reason);
        distrust(cache, key, container, "a container of '" + file.path + "'", cacheTrouble);
    }
    EngineErrorCapture engine;
    if (!vxpatch::PackLzmaFile(file.source.c_str(), container.c_str(), true)) {
        engineFailure = true;
        reason = "cannot pack '" + file.path + "'" + engine.because();
        return false;
    }
    if (!unpacksToFile(file, container, scratchDir, exact, reason))
        return false;
    if (!exact) {
        engineFailure = true;
        reason = "the container of '" + file.path + "' does not unpack to the file" + engine.because();
        return false;
    }
    keep(cache, key, container, cacheTrouble);
    return describe(container, packed, reason);
}

// The patch must turn the old file into exactly the new one, under the limit
// the updater sets (the new file's size).
bool appliesToNewFile(const TreeFile& file, const TreeFile& old, const std::string& patchPath,
                      const std::string& scratchDir, vxpatch::ThreadBudget* threads, bool& exact,
                      std::string& reason)
{
    std::string hash;
    const bool done = hashOfResult(
        scratchDir,
        [&](const char* out) {
            return vxpatch::ApplyEnsemblePatch(old.source.c_str(), patchPath.c_str(), out, file.size,
                                               vxpatch::ProgressFn(), threads)
                   == vxpatch::STATUS_OK;
        },
        hash, reason);
    exact = done && hash == file.sha512;
    return done;
}

// A patch the engine cannot make (or that does not pay) is no failure: the
// file is then only published whole. `made` tells whether `patchPath` holds one.
bool patch(const TreeFile& file, const TreeFile& old, const std::string& patchPath,
           const std::string& scratchDir, const ArtifactCache* cache, vxpatch::ThreadBudget* threads,
           PublishedFile& published, bool& made, Artifact& patched, bool& engineFailure, std::string& reason,
           std::string& cacheTrouble)
{
    made = false;
    bool exact = false;
    const std::string key = cache != nullptr ? cache->key("patch", {old.sha512, file.sha512}) : "";
    if (cache != nullptr && cache->fetch(key, patchPath)) {
        if (!appliesToNewFile(file, old, patchPath, scratchDir, threads, exact, reason))
            return false;
        if (exact) {
            ++published.patchesFromCache;
            made = true;
            return describe(patchPath, patched, reason);
        }
        distrust(cache, key, patchPath, "a patch of '" + file.path + "'", cacheTrouble);
    }
    EngineErrorCapture engine;
    made = vxpatch::CreateEnsemblePatch(old.source.c_str(), file.source.c_str(), patchPath.c_str(), threads)
           == vxpatch::STATUS_OK;
    if (!made)
        return removeFile(patchPath, reason);
    ++published.patchesMade;
    // The patch turns the files as they were read now into each other; the
    // ini and the cache name them by the hashes of the scan.
    for (const TreeFile* input : {&old, &file}) {
        std::string now;
        if (!sha512OfFile(input->source, now, reason))
            return false;
        if (now != input->sha512) {
            reason = "'" + input->source + "' changed while it was being published";
            return false;
        }
    }
    if (!appliesToNewFile(file, old, patchPath, scratchDir, threads, exact, reason))
        return false;
    if (!exact) {
        engineFailure = true;
        reason = "the patch of '" + file.path + "' does not give back the new file" + engine.because();
        return false;
    }
    keep(cache, key, patchPath, cacheTrouble);
    return describe(patchPath, patched, reason);
}

// Makes a patch from each older version, newest first, and keeps those that
// pay (all with `patchAlways`) under their keys, with their ini lines.
bool patchFromOlds(const TreeFile& file, const std::vector<const TreeFile*>& olds, const Artifact& container,
                   bool patchAlways, const std::string& filesDir, const std::string& scratchDir,
                   const ArtifactCache* cache, vxpatch::ThreadBudget* threads, PublishedFile& published,
                   bool& engineFailure, std::string& reason, std::string& cacheTrouble)
{
    for (const TreeFile* old : olds) {
        const std::string key = patchKey(file.path, old->sha512, published.patches == 0);
        Artifact patchFile;
        bool made = false;
        if (!patch(file, *old, filesDir + "/" + key, scratchDir, cache, threads, published, made, patchFile,
                   engineFailure, reason, cacheTrouble))
            return false;
        if (!made)
            continue;
        if (!patchAlways && patchFile.size >= container.size) {
            if (!removeFile(patchFile.path, reason))
                return false;
            continue;
        }
        if (published.patches++ == 0)
            published.newestPatchKey = key;
        published.lines[key] = fields({patchFile.sha512, std::to_string(patchFile.size), old->sha512,
                                       std::to_string(old->size), file.path});
        published.bytes += patchFile.size;
    }
    return true;
}

} // namespace

std::string patchKey(const std::string& path, const std::string& baseSha512, bool newest)
{
    return newest ? path + UpdateFiles::kPatchSuffix
                  : path + "._" + baseSha512.substr(0, 16) + UpdateFiles::kPatchKeyEnding;
}

bool publishFile(const TreeFile& file, const std::vector<const TreeFile*>& olds, PackMode packMode,
                 bool patchAlways, const std::string& filesDir, const std::string& scratchDir,
                 const ArtifactCache* cache, vxpatch::ThreadBudget* threads, PublishedFile& published,
                 bool& engineFailure, std::string& reason, std::string& cacheTrouble)
{
    engineFailure = false;
    published = PublishedFile();
    const std::string plainKey = file.path;
    const std::string packedKey = file.path + UpdateFiles::kPackedSuffix;
    const std::string plainPath = filesDir + "/" + plainKey;
    if (!makeParent(plainPath, reason))
        return false;

    Artifact container;
    if (packMode != PackMode::None
        && !pack(file, filesDir + "/" + packedKey, scratchDir, cache, container, engineFailure, reason,
                 cacheTrouble))
        return false;

    // Without a container there is no 5-field line for a patch to link to.
    if (packMode != PackMode::None
        && !patchFromOlds(file, olds, container, patchAlways, filesDir, scratchDir, cache, threads, published,
                          engineFailure, reason, cacheTrouble))
        return false;

    published.packed = packMode == PackMode::All || published.patches > 0
                       || (packMode == PackMode::Auto && container.size < file.size);
    if (published.packed) {
        published.lines[packedKey] = fields({container.sha512, std::to_string(container.size),
                                             file.sha512, std::to_string(file.size), file.path});
        published.bytes += container.size;
        return true;
    }
    if (packMode != PackMode::None && !removeFile(container.path, reason))
        return false;
    std::error_code error;
    fs::copy_file(file.source, plainPath, error);
    if (error) {
        reason = "cannot copy '" + file.source + "' to '" + plainPath + "': " + error.message();
        return false;
    }
    std::string copiedHash;
    if (!sha512OfFile(plainPath, copiedHash, reason))
        return false;
    if (copiedHash != file.sha512) {
        reason = "'" + file.source + "' changed while it was being published";
        return false;
    }
    published.lines[plainKey] = fields({file.sha512, std::to_string(file.size)});
    published.bytes += file.size;
    return true;
}

} // namespace vxpublish
