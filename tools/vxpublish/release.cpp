// vxpublish release: the files an update server publishes for one product and
// one version. Layout below OUTDIR/N (N = --version):
//   <product>/<installed path>             plain files
//   <product>/<installed path>._lzma2_     LZMA2 containers
//   <product>/<installed path>._patch_     ensemble patches from an older version
//   <ini>, <ini>._lzma2_, <ini>.sig        the product ini, packed and signed
//   <ini>.signatures                       its modern signatures (--ed25519-key)
// The product ini has one section, named after the product, because the
// updater fetches section + "/" + key and installs a plain file at its key:
// keys must therefore be whole installed paths, and the section is the one
// remote directory that keeps the two products of a version apart.
//
// Files are packed and patched on --jobs threads, largest first, so that the
// largest does not start last; each file's result depends on nothing but its
// own inputs, so the release is the same whatever the number of threads.
// A thread that finds no file left lends itself to the patches still being
// made (the engine splits its long steps), so the last large file does not
// run alone on one core while the others idle.
// Containers and patches made are kept in the cache (artifactcache.h).
//
// Nothing published is ever overwritten. The files are prepared in a hidden
// work directory and moved into place in one rename; the signatures and then
// the packed ini come last, so a client that finds the ini finds its files
// and signatures.

#include "artifactcache.h"
#include "commands.h"
#include "crypto.h"
#include "fileio.h"
#include "help.h"
#include "keyfile.h"
#include "productini.h"
#include "releasecheck.h"
#include "releasefile.h"
#include "releasenames.h"
#include "releaseoptions.h"
#include "releaseprogress.h"
#include "releasesigners.h"
#include "releasetree.h"
#include "updatefiles.h"
#include "vxpatch/packed_file.h"
#include "vxpatch/thread_budget.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace vxpublish {

namespace {

const char* const kUsage = "usage: vxpublish release --product NAME --version N --key PRIVATE.der --new DIR "
                           "[--old DIR ...] [--delete PATH[=2] ...] [--pack auto|none|all] [--jobs N] "
                           "[--cache DIR] [--patch smaller|always] [--patch-from-last N] [--ed25519-key SECRET ...] "
                           "[--ed25519-signer PUBLIC=COMMAND ...] [--rsa-signer PUBLIC.der=COMMAND] "
                           "[--passphrase-file FILE | --passphrase-fd N] --out OUTDIR";

// The summary's last words: which signatures the release carries.
std::string signedWith(size_t modernKeys)
{
    if (modernKeys == 0)
        return "signed with RSA only, no modern signatures";
    return "signed with RSA and " + std::to_string(modernKeys) + " Ed25519 key" + (modernKeys > 1 ? "s" : "");
}

// The versions of `file` in the last `limit` older trees that differ from
// the new one, newest first, each content once (installations holding it
// share one patch, ordered by the newest tree that has it).
std::vector<const TreeFile*> patchSources(const TreeFile& file, const std::vector<Tree>& oldTrees,
                                          unsigned limit)
{
    std::vector<const TreeFile*> sources;
    std::set<std::string> seen = {file.sha512};
    unsigned asked = 0;
    for (auto tree = oldTrees.rbegin(); tree != oldTrees.rend() && asked < limit; ++tree, ++asked) {
        const auto it = tree->find(file.path);
        if (it != tree->end() && seen.insert(it->second.sha512).second)
            sources.push_back(&it->second);
    }
    return sources;
}

bool mustNotExist(const fs::path& path, std::string& reason)
{
    std::error_code error;
    if (fs::exists(fs::symlink_status(path, error))) {
        reason = "refusing to overwrite the published '" + path.string() + "'";
        return false;
    }
    return true;
}

// Removes the work directory on every way out.
class WorkDirectory final
{
public:
    explicit WorkDirectory(fs::path path)
        : m_Path(std::move(path))
    {
    }
    ~WorkDirectory()
    {
        std::error_code error;
        fs::remove_all(m_Path, error);
    }
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;

    const fs::path& path() const { return m_Path; }

private:
    fs::path m_Path;
};

// A killed run leaves its work directory ("<prefix><pid>") behind; it goes
// once no process has that id. A directory another run still uses stays.
void removeAbandonedWork(const fs::path& versionDir, const std::string& prefix)
{
    std::error_code error;
    for (fs::directory_iterator it(versionDir, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        const std::string pid = name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : "";
        if (pid.empty() || pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code ignored; // only tidying: the release does not depend on it
        if (::kill(static_cast<pid_t>(std::stol(pid)), 0) != 0 && errno == ESRCH)
            fs::remove_all(it->path(), ignored);
    }
}

bool createDirectories(const fs::path& path, std::string& reason)
{
    std::error_code error;
    fs::create_directories(path, error);
    if (error) {
        reason = "cannot create '" + path.string() + "': " + error.message();
        return false;
    }
    return true;
}

// The product ini as it is published: its text and signatures, and its
// packed form in the scratch directory.
struct SignedIni
{
    Bytes text;
    Bytes signature;
    Bytes modernSignatures;
    fs::path packed;
};

// Moves the prepared release into place: the files, the ini for people, the
// signature and last the packed ini, which is what clients look for. On
// failure it removes what it placed, so the release can be made again.
bool placeRelease(const fs::path& filesDir, const SignedIni& ini, const fs::path& versionDir,
                  const std::string& product, std::string& reason)
{
    const std::string iniName = UpdateFiles::productIniName(product);
    std::vector<fs::path> placed;
    const auto undo = [&placed] {
        std::error_code ignored; // the reason already given matters more
        for (auto it = placed.rbegin(); it != placed.rend(); ++it)
            fs::remove_all(*it, ignored);
        return false;
    };
    std::error_code error;
    const fs::path filesTarget = versionDir / product;
    fs::rename(filesDir, filesTarget, error);
    if (error) {
        reason = "cannot move the files to '" + filesTarget.string() + "': " + error.message();
        return false;
    }
    placed.push_back(filesTarget);
    for (const auto& [name, data] :
         {std::make_pair(iniName, &ini.text),
          std::make_pair(UpdateFiles::signatureName(iniName), &ini.signature),
          std::make_pair(UpdateFiles::modernSignatureName(iniName), &ini.modernSignatures)}) {
        if (data->empty())
            continue;
        if (!writeNewFile((versionDir / name).string(), *data, 0644, reason))
            return undo();
        placed.push_back(versionDir / name);
    }
    fs::rename(ini.packed, versionDir / UpdateFiles::packedName(iniName), error);
    if (error) {
        reason = "cannot publish '" + UpdateFiles::packedName(iniName) + "': " + error.message();
        return undo();
    }
    return true;
}

struct Job
{
    const TreeFile* file = nullptr;
    std::vector<const TreeFile*> olds;
    PublishedFile published;
    bool done = false;
    bool engineFailure = false;
    std::string reason;
    std::string cacheTrouble;
};

std::string describeOutcome(const PublishedFile& published, size_t sources)
{
    std::string what = published.packed ? "packed" : "plain";
    const int tried = published.patchesMade + published.patchesFromCache;
    if (published.patches == 1 && tried == 1)
        what += published.patchesFromCache == 1 ? ", patch from cache" : ", patch made";
    else if (published.patches > 0)
        what += ", " + std::to_string(published.patches) + " of " + std::to_string(sources) + " patches ("
                + std::to_string(published.patchesFromCache) + " from cache)";
    else if (tried > 0)
        what += tried == 1 ? ", patch not smaller" : ", patches not smaller";
    return what;
}

// Publishes every file on `threads` threads, largest first; after a failure
// no new file is started. The calling thread keeps the progress moving.
void publishAll(std::vector<Job>& jobs, unsigned threads, const ReleaseOptions& options,
                const fs::path& filesDir, const fs::path& scratchDir, const ArtifactCache* cache,
                ReleaseProgress& progress)
{
    std::vector<Job*> order;
    for (Job& job : jobs)
        order.push_back(&job);
    std::stable_sort(order.begin(), order.end(),
                     [](const Job* a, const Job* b) { return a->file->size > b->file->size; });
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable allDone;
    unsigned running = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(order.size())));
    vxpatch::ThreadBudget lent(threads - running);
    const auto work = [&](unsigned worker) {
        const std::string scratch = (scratchDir / std::to_string(worker)).string();
        std::error_code error;
        fs::create_directories(scratch, error);
        for (size_t i = next++; !failed && i < order.size(); i = next++) {
            Job& job = *order[i];
            if (error) {
                job.reason = "cannot create '" + scratch + "': " + error.message();
                failed = true;
                break;
            }
            progress.started(job.file->path);
            const auto start = std::chrono::steady_clock::now();
            job.done = publishFile(*job.file, job.olds, options.pack, options.patchAlways, filesDir.string(),
                                   scratch, cache, &lent, job.published, job.engineFailure, job.reason,
                                   job.cacheTrouble);
            failed = failed || !job.done;
            progress.finished(
                job.file->path, job.file->size,
                job.done ? describeOutcome(job.published, job.olds.size()) : "failed",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        lent.Give();
        const std::lock_guard<std::mutex> lock(mutex);
        --running;
        allDone.notify_all();
    };
    std::vector<std::thread> workers;
    for (unsigned worker = 0, count = running; worker < count; ++worker)
        workers.emplace_back(work, worker);
    std::unique_lock<std::mutex> lock(mutex);
    while (!allDone.wait_for(lock, std::chrono::seconds(1), [&running] { return running == 0; }))
        progress.refresh();
    lock.unlock();
    for (std::thread& worker : workers)
        worker.join();
    progress.end();
}

// Checks the trees and names before anything is written, adds the deletions
// of what older versions had and the new one lacks, and gives every file its
// job with the older versions it is patched from.
bool planRelease(const ReleaseOptions& options, const Tree& newTree, const std::vector<Tree>& oldTrees,
                 std::map<std::string, bool>& deletes, std::vector<Job>& jobs, std::string& reason)
{
    std::map<std::string, std::vector<std::string>> patchKeys;
    for (const auto& [path, file] : newTree) {
        jobs.emplace_back();
        jobs.back().file = &file;
        jobs.back().olds = patchSources(file, oldTrees, options.patchFromLast);
        for (const TreeFile* old : jobs.back().olds)
            patchKeys[path].push_back(patchKey(path, old->sha512, false));
    }
    if (!checkTemporaryNames(newTree, options.product, patchKeys, reason)
        || !checkDeletes(deletes, newTree, reason))
        return false;
    for (size_t i = 0; i < oldTrees.size(); ++i) {
        if (!checkKinds(newTree, oldTrees[i], options.oldDirs[i], reason))
            return false;
    }
    addVanishedPaths(newTree, oldTrees, deletes);
    for (const auto& [path, recursive] : deletes) {
        if (!checkReleasePath(path, reason) || !checkLineKinds(path, options.product, reason)) {
            reason = "cannot delete: " + reason;
            return false;
        }
    }
    if (newTree.empty() && deletes.empty()) {
        reason = "'" + options.newDir
                 + "' holds no files and nothing is deleted; the updater refuses a product ini without lines";
        return false;
    }
    return true;
}

// Reads the new tree and the older ones.
int readTrees(const ReleaseOptions& options, Tree& newTree, std::vector<Tree>& oldTrees)
{
    std::string reason;
    if (!scanTree(options.newDir, newTree, reason))
        return fail(EXIT_ERROR, "--new: " + reason);
    oldTrees.resize(options.oldDirs.size());
    for (size_t i = 0; i < oldTrees.size(); ++i) {
        if (!scanTree(options.oldDirs[i], oldTrees[i], reason))
            return fail(EXIT_ERROR, "--old: " + reason);
    }
    return EXIT_OK;
}

// Creates the version directory; false where anything of this release is
// already published in it.
bool checkUnpublished(const fs::path& versionDir, const std::string& product, std::string& reason)
{
    const std::string iniName = UpdateFiles::productIniName(product);
    if (!createDirectories(versionDir, reason))
        return false;
    for (const std::string& name :
         {product, iniName, UpdateFiles::packedName(iniName), UpdateFiles::signatureName(iniName),
          UpdateFiles::modernSignatureName(iniName)}) {
        if (!mustNotExist(versionDir / name, reason))
            return false;
    }
    return true;
}

// The cache of containers and patches, or null with a warning: without it
// the release is still made, only every patch anew.
std::unique_ptr<ArtifactCache> openCache(const std::string& dir)
{
    std::string generator;
    std::string reason;
    const bool knowGenerator = generatorIdentity(generator, reason);
    auto cache = std::make_unique<ArtifactCache>(dir, generator);
    if (knowGenerator && cache->open(reason))
        return cache;
    std::fprintf(stderr, "vxpublish: warning: no cache of patches: %s\n", reason.c_str());
    return nullptr;
}

std::uint64_t totalSize(const std::vector<Job>& jobs)
{
    std::uint64_t bytes = 0;
    for (const Job& job : jobs)
        bytes += job.file->size;
    return bytes;
}

// The figures of the summary line.
struct Tally
{
    int packed = 0;
    int patched = 0;
    int patchesMade = 0;
    int patchesCached = 0;
    std::uint64_t bytes = 0;
};

// Gathers the lines of every published file into `ini` and counts them;
// fails with the reason of the first file that could not be published.
int collectLines(const std::vector<Job>& jobs, ProductIni& ini, Tally& tally)
{
    for (const Job& job : jobs) {
        if (!job.done && !job.reason.empty())
            return fail(job.engineFailure ? EXIT_INVALID : EXIT_ERROR, job.reason);
    }
    std::map<std::string, std::string> newestPatches;
    std::string cacheTrouble;
    for (const Job& job : jobs) {
        const PublishedFile& published = job.published;
        ini.files.insert(published.lines.begin(), published.lines.end());
        if (!published.newestPatchKey.empty())
            newestPatches[job.file->path] = published.newestPatchKey;
        tally.packed += published.packed ? 1 : 0;
        tally.patched += published.patches > 0 ? 1 : 0;
        tally.patchesMade += published.patchesMade;
        tally.patchesCached += published.patchesFromCache;
        tally.bytes += published.bytes;
        if (cacheTrouble.empty())
            cacheTrouble = job.cacheTrouble;
    }
    if (!cacheTrouble.empty())
        std::fprintf(stderr, "vxpublish: warning: %s\n", cacheTrouble.c_str());
    std::string reason;
    if (!checkKeptPatches(ini.files, newestPatches, reason))
        return fail(EXIT_INVALID, reason);
    return EXIT_OK;
}

// Signs the ini's text and packs it in `scratchDir`.
int signAndPack(const std::string& text, const std::string& iniName, ReleaseSigners& signers,
                const fs::path& scratchDir, SignedIni& ini)
{
    std::string reason;
    ini.text.assign(text.begin(), text.end());
    ini.packed = scratchDir / UpdateFiles::packedName(iniName);
    const fs::path scratchIni = scratchDir / iniName;
    if (!signers.sign(text, scratchDir.string(), ini.signature, ini.modernSignatures, reason)
        || !writeNewFile(scratchIni.string(), ini.text, 0644, reason))
        return fail(EXIT_ERROR, reason);
    // A packed ini that does not unpack to the signed text would fail every
    // client's signature check, over and over.
    const fs::path unpackedIni = scratchDir / "unpacked.ini";
    Bytes unpacked;
    if (!vxpatch::PackLzmaFile(scratchIni.c_str(), ini.packed.c_str(), false)
        || !vxpatch::UnpackLzmaFile(ini.packed.c_str(), unpackedIni.c_str(), ini.text.size())
        || !readFile(unpackedIni.string(), unpacked, reason) || unpacked != ini.text)
        return fail(EXIT_INVALID, "cannot pack the product ini");
    return EXIT_OK;
}

void printSummary(const ProductIni& ini, const fs::path& versionDir, size_t files, Tally tally,
                  const SignedIni& signedIni, double seconds, size_t modernKeys)
{
    std::error_code error; // the release is in place; the count would only lack the packed ini
    const std::uintmax_t packedIniSize =
        fs::file_size(versionDir / UpdateFiles::packedName(UpdateFiles::productIniName(ini.product)), error);
    tally.bytes += signedIni.text.size() + signedIni.signature.size() + signedIni.modernSignatures.size()
                   + (error ? 0 : packedIniSize);
    std::printf("release %s of %s in %s: %zu files (%d packed, %d with a patch), %zu deletions; "
                "%s published in %.1f s; patches: %d made, %d from cache; %s\n",
                ini.version.c_str(), ini.product.c_str(), versionDir.c_str(), files, tally.packed,
                tally.patched, ini.deletes.size(), byteText(tally.bytes).c_str(), seconds, tally.patchesMade,
                tally.patchesCached, signedWith(modernKeys).c_str());
}

} // namespace

int runRelease(const Args& args)
{
    ReleaseOptions options;
    std::string reason;
    if (!parseReleaseOptions(args, options, reason))
        return usageError("release", reason + "; " + kUsage);
    ReleaseSigners signers;
    if (!signers.load(options, reason))
        return fail(EXIT_ERROR, reason);
    Tree newTree;
    std::vector<Tree> oldTrees;
    if (const int status = readTrees(options, newTree, oldTrees); status != EXIT_OK)
        return status;
    std::map<std::string, bool> deletes = options.deletes;
    std::vector<Job> jobs;
    if (!planRelease(options, newTree, oldTrees, deletes, jobs, reason))
        return fail(EXIT_INVALID, reason);

    const fs::path versionDir = fs::path(options.outDir) / options.version;
    if (!checkUnpublished(versionDir, options.product, reason))
        return fail(EXIT_ERROR, reason);
    const std::string workPrefix = "." + options.product + ".work";
    removeAbandonedWork(versionDir, workPrefix);
    WorkDirectory work(versionDir / (workPrefix + std::to_string(::getpid())));
    const fs::path filesDir = work.path() / "files";
    const fs::path scratchDir = work.path() / "scratch";
    if (!createDirectories(filesDir, reason) || !createDirectories(scratchDir, reason))
        return fail(EXIT_ERROR, reason);

    const std::unique_ptr<ArtifactCache> cache = openCache(options.cacheDir);
    ReleaseProgress progress(stdout, ::isatty(::fileno(stdout)) == 1, jobs.size(), totalSize(jobs));
    publishAll(jobs, options.jobs, options, filesDir, scratchDir, cache.get(), progress);

    ProductIni ini;
    ini.version = options.version;
    ini.product = options.product;
    ini.allowDowngrade = options.allowDowngrade;
    ini.section = options.product;
    ini.deletes = deletes;
    Tally tally;
    if (const int status = collectLines(jobs, ini, tally); status != EXIT_OK)
        return status;
    const std::string iniName = UpdateFiles::productIniName(options.product);
    SignedIni signedIni;
    if (const int status = signAndPack(ini.render(), iniName, signers, scratchDir, signedIni);
        status != EXIT_OK)
        return status;
    if (!placeRelease(filesDir, signedIni, versionDir, options.product, reason))
        return fail(EXIT_ERROR, reason);
    printSummary(ini, versionDir, newTree.size(), tally, signedIni, progress.elapsed(),
                 signers.modernKeyCount());
    return EXIT_OK;
}

} // namespace vxpublish
