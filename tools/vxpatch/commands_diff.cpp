// diff and apply-diff: stand-alone byte-level diffs.
#include <string>

#include "commands.h"
#include "input_file.h"
#include "output_file.h"
#include "output_limit_option.h"
#include "vxdiff.h"
#include "vxpatch/packed_file.h"

namespace vxtool {
namespace {

struct DiffOptions {
  bool header = false;
  OutputLimitOption limit;
  vxpatch::DiffMethod method = vxpatch::DIFF_LZMA2_JOINED;
  Arguments paths;
};

// Parses [--method raw|split|joined] [--header] [--limit BYTES] and the
// paths; the method is accepted only where `allow_method` is set (diff), the
// limit only where it is not (apply-diff). Returns false on a usage error.
bool ParseDiffOptions(const std::string& command, const Arguments& arguments, bool allow_method,
                      DiffOptions* options, int* status) {
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--header") {
      options->header = true;
    } else if (!allow_method && argument == "--limit") {
      if (!ParseLimitValue(command, arguments, &index, &options->limit, status)) return false;
    } else if (allow_method && argument == "--method") {
      if (index + 1 == arguments.size()) {
        *status = UsageError(command, "--method needs raw, split or joined");
        return false;
      }
      const std::string& value = arguments[++index];
      if (value == "raw") {
        options->method = vxpatch::DIFF_RAW;
      } else if (value == "split") {
        options->method = vxpatch::DIFF_LZMA2_SPLIT;
      } else if (value == "joined") {
        options->method = vxpatch::DIFF_LZMA2_JOINED;
      } else {
        *status = UsageError(command, "unknown method '" + value + "'");
        return false;
      }
    } else if (argument.size() > 1 && argument[0] == '-') {
      *status = UsageError(command, "unknown option '" + argument + "'");
      return false;
    } else {
      options->paths.push_back(argument);
    }
  }
  if (options->paths.size() != 3) {
    *status = UsageError(command, command + " takes three files");
    return false;
  }
  return true;
}

int WriteOutput(const std::string& path, const vxpatch::OutputStream& content) {
  if (!vxpatch::WriteWholeFile(path.c_str(), content.Buffer(), content.Length())) {
    ReportError("could not write '" + path + "'");
    return kExitFailure;
  }
  return kExitSuccess;
}

int RunDiff(const Arguments& arguments) {
  DiffOptions options;
  int status = kExitUsage;
  if (!ParseDiffOptions("diff", arguments, true, &options, &status)) return status;
  vxpatch::MappedFile old_file;
  vxpatch::MappedFile new_file;
  vxpatch::InputStream old_stream;
  vxpatch::InputStream new_stream;
  if (!OpenInput(options.paths[0], &old_file, &old_stream) || !OpenInput(options.paths[1], &new_file, &new_stream)) {
    return kExitFailure;
  }
  vxpatch::OutputStream diff;
  if (!vxpatch::CreateDiff(&old_stream, &new_stream, &diff, options.header, options.method)) {
    ReportError("could not create the diff");
    return kExitFailure;
  }
  return WriteOutput(options.paths[2], diff);
}

int RunApplyDiff(const Arguments& arguments) {
  DiffOptions options;
  int status = kExitUsage;
  if (!ParseDiffOptions("apply-diff", arguments, false, &options, &status)) return status;
  vxpatch::MappedFile old_file;
  vxpatch::MappedFile diff_file;
  vxpatch::InputStream old_stream;
  vxpatch::InputStream diff_stream;
  if (!OpenInput(options.paths[0], &old_file, &old_stream) ||
      !OpenInput(options.paths[1], &diff_file, &diff_stream)) {
    return kExitFailure;
  }
  const size_t limit = EffectiveLimit(options.limit, old_stream.Remaining() + diff_stream.Remaining());
  // The new bytes go straight into a file beside the output path, renamed
  // into place once the diff has been applied (removed otherwise).
  vxpatch::OutputFile output;
  if (!output.Create(options.paths[2].c_str())) {
    ReportError("could not write '" + options.paths[2] + "'");
    return kExitFailure;
  }
  vxpatch::FileTarget target(&output, limit);
  bool over_limit = false;
  if (!vxpatch::ApplyDiffToTarget(&old_stream, 1, &diff_stream, &target, options.header, limit,
                                  vxpatch::kNoOutputLimit, &over_limit)) {
    ReportFailure("could not apply the diff", limit);
    return kExitFailure;
  }
  if (!output.Commit(target.Size())) {
    ReportError("could not write '" + options.paths[2] + "'");
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace

void AddDiffCommands(CommandTable* table) {
  table->push_back({"diff", "[--method raw|split|joined] [--header] OLD NEW DIFF", RunDiff});
  table->push_back({"apply-diff", "[--header] [--limit BYTES] OLD DIFF NEW", RunApplyDiff});
}

}  // namespace vxtool
