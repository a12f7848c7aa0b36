// make-patch, apply-patch, detect and roundtrip: ensemble patches and the
// executable parsers on the command line.
//
// make-patch keeps the smaller of the plain patch (no elements) and the
// element patch; --plain or --elements asks for one of them. --jobs N lets
// it run on N threads (default: one per core); the patch is the same. --stats also
// prints where the bytes of the patch go: both candidates' sizes, how many
// labels of the new program were paired with old ones, and per body stream
// (and per table of the encoded program inside the element correction) the
// raw bytes and what that part compresses to on its own.
//
// apply-patch --jobs N applies on up to N threads (default: one per core;
// the result is the same); --progress prints a line per progress report
// (share done, seconds, resident and peak memory) on the standard error.
//
// detect FILE prints the kind and detected length ("UNKNOWN 0" and exit 3
// for none); a multi-architecture Mach-O file gets one line per thin file
// the packer would store, "KIND LENGTH at OFFSET".
//
// roundtrip FILE runs the whole executable path an ensemble patch takes
// (detect, parse, trim, encode, write, serialise, read back, assemble) and
// compares the assembled bytes with the element, for each thin file of a
// multi-architecture file. Exit 0: identical; 1: a step refused the file
// ("refused: <status>") or the bytes differ ("differs at offset N"); 3: no
// executable of a known kind.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "encoded_program.h"
#include "executable_detection.h"
#include "executable_elements.h"
#include "input_file.h"
#include "output_file.h"
#include "output_limit_option.h"
#include "vxpatch/ensemble_create.h"
#include "vxpatch/ensemble_patch.h"
#include "vxpatch/packed_file.h"
#include "vxpatch/thread_budget.h"

namespace vxtool {
namespace {

constexpr int kExitNotExecutable = 3;

int StatusExit(const char* what, vxpatch::Status status) {
  if (status == vxpatch::STATUS_OK) return kExitSuccess;
  ReportError(std::string(what) + ": " + vxpatch::StatusName(status));
  return kExitFailure;
}

void PrintStats(const vxpatch::EnsemblePatchStats& stats) {
  std::printf("patch %zu bytes, %zu element%s (element patch %zu, plain patch %zu)\n", stats.patch_bytes,
              stats.elements, stats.elements == 1 ? "" : "s", stats.element_patch_bytes,
              stats.plain_patch_bytes);
  std::printf("labels paired: rel32 %zu of %zu, abs32 %zu of %zu\n", stats.labels.rel32_paired,
              stats.labels.rel32_labels, stats.labels.abs32_paired, stats.labels.abs32_labels);
  std::printf("%-24s %12s %12s\n", "part", "raw", "compressed");
  for (const vxpatch::EnsemblePatchPart& part : stats.parts)
    std::printf("%-24s %12zu %12zu\n", part.name.c_str(), part.raw_bytes, part.compressed_bytes);
}

bool ParseJobs(const std::string& text, unsigned* jobs) {
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  *jobs = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
  return *jobs >= 1 && *jobs <= 256;
}

int RunMakePatch(const Arguments& arguments) {
  Arguments files;
  bool stats = false;
  vxpatch::PatchChoice choice = vxpatch::PatchChoice::kSmallest;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--jobs") {
      if (i + 1 == arguments.size() || !ParseJobs(arguments[++i], &jobs))
        return UsageError("make-patch", "--jobs takes a number from 1 to 256");
    } else if (argument == "--stats") {
      stats = true;
    } else if (argument == "--plain") {
      choice = vxpatch::PatchChoice::kPlain;
    } else if (argument == "--elements") {
      choice = vxpatch::PatchChoice::kElements;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return UsageError("make-patch", "unknown option '" + argument + "'");
    } else {
      files.push_back(argument);
    }
  }
  if (files.size() != 3) return UsageError("make-patch", "make-patch takes three files");
  vxpatch::MappedFile old_file, new_file;
  vxpatch::InputStream old_stream, new_stream;
  if (!OpenInput(files[0], &old_file, &old_stream) || !OpenInput(files[1], &new_file, &new_stream))
    return kExitFailure;
  vxpatch::OutputStream patch;
  vxpatch::EnsemblePatchStats patch_stats;
  vxpatch::ThreadBudget threads(jobs - 1);
  const vxpatch::Status status = vxpatch::CreateEnsemblePatch(&old_stream, &new_stream, &patch, choice,
                                                              stats ? &patch_stats : nullptr, &threads);
  if (status != vxpatch::STATUS_OK) return StatusExit("make-patch", status);
  if (!vxpatch::WriteWholeFile(files[2].c_str(), patch.Buffer(), patch.Length())) {
    ReportError("cannot write '" + files[2] + "'");
    return kExitFailure;
  }
  if (stats) PrintStats(patch_stats);
  return kExitSuccess;
}

// One line per progress report: the share done, seconds since the start,
// processor seconds of the process so far, and the process's resident and peak memory, so that a slow or silent step
// and the memory it holds show where they happen.
void PrintProgressLine(uint64_t done, uint64_t total, const std::chrono::steady_clock::time_point& start) {
  unsigned long resident_kib = 0, peak_kib = 0;
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      std::sscanf(line, "VmRSS: %lu kB", &resident_kib);
      std::sscanf(line, "VmHWM: %lu kB", &peak_kib);
    }
    std::fclose(status);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
  std::fprintf(stderr, "progress %6.2f%% %8.3f s cpu %7.3f s rss %7.1f MB peak %7.1f MB\n",
               total ? 100.0 * static_cast<double>(done) / static_cast<double>(total) : 100.0, seconds, cpu,
               static_cast<double>(resident_kib) / 1024, static_cast<double>(peak_kib) / 1024);
}

int RunApplyPatch(const Arguments& arguments) {
  OutputLimitOption limit_option;
  Arguments paths;
  bool progress = false;
  unsigned jobs = std::max(1u, std::thread::hardware_concurrency());
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    int usage_status = kExitUsage;
    if (argument == "--limit") {
      if (!ParseLimitValue("apply-patch", arguments, &i, &limit_option, &usage_status)) return usage_status;
    } else if (argument == "--jobs") {
      if (i + 1 == arguments.size() || !ParseJobs(arguments[++i], &jobs))
        return UsageError("apply-patch", "--jobs takes a number from 1 to 256");
    } else if (argument == "--progress") {
      progress = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return UsageError("apply-patch", "unknown option '" + argument + "'");
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.size() != 3) return UsageError("apply-patch", "apply-patch takes three files");
  const size_t limit = EffectiveLimit(limit_option, FileSize(paths[0]) + FileSize(paths[1]));
  const auto start = std::chrono::steady_clock::now();
  vxpatch::ProgressFn watcher;
  if (progress) watcher = [&start](uint64_t done, uint64_t total) { PrintProgressLine(done, total, start); };
  vxpatch::ThreadBudget threads(jobs - 1);
  const vxpatch::Status status =
      vxpatch::ApplyEnsemblePatch(paths[0].c_str(), paths[1].c_str(), paths[2].c_str(), limit, watcher, &threads);
  if (status == vxpatch::STATUS_OUTPUT_LIMIT) {
    ReportFailure("apply-patch", limit);
    return kExitFailure;
  }
  return StatusExit("apply-patch", status);
}

int RunDetect(const Arguments& arguments) {
  if (arguments.size() != 1) return UsageError("detect", "detect takes one file");
  vxpatch::MappedFile file;
  vxpatch::InputStream stream;
  if (!OpenInput(arguments[0], &file, &stream)) return kExitFailure;
  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  const vxpatch::Status status = vxpatch::DetectExecutable(stream.Current(), stream.Remaining(), &kind, &length);
  std::vector<vxpatch::ExecutableElement> elements;
  if (status != vxpatch::STATUS_OK &&
      vxpatch::FindExecutableElements(stream.Current(), stream.Remaining(), &elements) == vxpatch::STATUS_OK &&
      !elements.empty()) {
    for (const vxpatch::ExecutableElement& element : elements) {
      std::printf("%s %llu at %llu\n", vxpatch::ExecutableKindName(element.kind),
                  static_cast<unsigned long long>(element.length), static_cast<unsigned long long>(element.offset));
    }
    return kExitSuccess;
  }
  std::printf("%s %zu\n", vxpatch::ExecutableKindName(kind), length);
  return status == vxpatch::STATUS_OK ? kExitSuccess : kExitNotExecutable;
}

int Refused(vxpatch::Status status) {
  std::printf("refused: %s\n", vxpatch::StatusName(status));
  return kExitFailure;
}

// One element: `bytes` holds at least the detected `length`.
int RoundtripElement(const uint8_t* bytes, size_t length, vxpatch::ExecutableKind kind) {
  std::unique_ptr<vxpatch::ParsedProgram> parsed;
  vxpatch::Status status = vxpatch::ParseExecutable(bytes, length, &parsed);
  if (status != vxpatch::STATUS_OK) return Refused(status);
  if (!vxpatch::TrimLabels(parsed.get())) return Refused(vxpatch::STATUS_TRIM_FAILED);
  std::unique_ptr<vxpatch::EncodedProgram> encoded = vxpatch::EncodeProgram(*parsed);
  parsed.reset();
  if (!encoded) return Refused(vxpatch::STATUS_GENERAL_ERROR);

  vxpatch::OutputStreamSet set;
  vxpatch::OutputStream serialised;
  status = vxpatch::WriteEncodedProgram(*encoded, &set);
  if (status != vxpatch::STATUS_OK) return Refused(status);
  encoded.reset();
  if (!set.SerializeSet(&serialised)) return Refused(vxpatch::STATUS_STREAM_ERROR);
  vxpatch::InputStreamSet read_set;
  if (!read_set.InitFromBuffer(serialised.Buffer(), serialised.Length()))
    return Refused(vxpatch::STATUS_STREAM_ERROR);
  std::unique_ptr<vxpatch::EncodedProgram> read_back;
  status = vxpatch::ReadEncodedProgram(&read_set, &read_back);
  if (status != vxpatch::STATUS_OK) return Refused(status);
  vxpatch::OutputStream assembled;
  status = vxpatch::AssembleProgram(read_back.get(), &assembled);
  if (status != vxpatch::STATUS_OK) return Refused(status);

  const size_t common = assembled.Length() < length ? assembled.Length() : length;
  size_t offset = 0;
  while (offset < common && assembled.Buffer()[offset] == bytes[offset]) ++offset;
  if (offset == common && assembled.Length() == length) {
    std::printf("exact %s %zu\n", vxpatch::ExecutableKindName(kind), length);
    return kExitSuccess;
  }
  std::printf("differs at offset %zu\n", offset);
  return kExitFailure;
}

int RunRoundtrip(const Arguments& arguments) {
  if (arguments.size() != 1) return UsageError("roundtrip", "roundtrip takes one file");
  vxpatch::MappedFile file;
  vxpatch::InputStream stream;
  if (!OpenInput(arguments[0], &file, &stream)) return kExitFailure;
  const uint8_t* bytes = stream.Current();

  vxpatch::ExecutableKind kind = vxpatch::EXE_UNKNOWN;
  size_t length = 0;
  if (vxpatch::DetectExecutable(bytes, stream.Remaining(), &kind, &length) == vxpatch::STATUS_OK)
    return RoundtripElement(bytes, length, kind);
  std::vector<vxpatch::ExecutableElement> elements;
  if (vxpatch::FindExecutableElements(bytes, stream.Remaining(), &elements) != vxpatch::STATUS_OK ||
      elements.empty()) {
    std::printf("not an executable of a known kind\n");
    return kExitNotExecutable;
  }
  // Thin files of a multi-architecture file, each on its own.
  int exit_status = kExitSuccess;
  for (const vxpatch::ExecutableElement& element : elements) {
    const uint8_t* thin = bytes + element.offset;
    if (vxpatch::DetectExecutable(thin, static_cast<size_t>(element.length), &kind, &length) != vxpatch::STATUS_OK ||
        RoundtripElement(thin, length, kind) != kExitSuccess)
      exit_status = kExitFailure;
  }
  return exit_status;
}

}  // namespace

void AddPatchCommands(CommandTable* table) {
  table->push_back({"make-patch", "[--plain|--elements] [--stats] [--jobs N] OLD NEW PATCH", RunMakePatch});
  table->push_back({"apply-patch", "[--limit BYTES] [--jobs N] [--progress] OLD PATCH NEW", RunApplyPatch});
  table->push_back({"detect", "FILE", RunDetect});
  table->push_back({"roundtrip", "FILE", RunRoundtrip});
}

}  // namespace vxtool
