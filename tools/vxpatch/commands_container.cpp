// pack and unpack: the packed-file container.
#include "commands.h"
#include "input_file.h"
#include "output_limit_option.h"
#include "vxpatch/packed_file.h"

namespace vxtool {
namespace {

int RunPack(const Arguments& arguments) {
  bool executable = false;
  Arguments paths;
  for (const std::string& argument : arguments) {
    if (argument == "--exe") {
      executable = true;
    } else if (argument.size() > 1 && argument[0] == '-') {
      return UsageError("pack", "unknown option '" + argument + "'");
    } else {
      paths.push_back(argument);
    }
  }
  if (paths.size() != 2) return UsageError("pack", "pack takes an input and an output file");
  if (!vxpatch::PackLzmaFile(paths[0].c_str(), paths[1].c_str(), executable)) {
    ReportError("could not pack '" + paths[0] + "'");
    return kExitFailure;
  }
  return kExitSuccess;
}

int RunUnpack(const Arguments& arguments) {
  OutputLimitOption limit_option;
  Arguments paths;
  int status = kExitUsage;
  if (!ParseLimitAndPaths("unpack", arguments, &limit_option, &paths, &status)) return status;
  if (paths.size() != 2) return UsageError("unpack", "unpack takes an input and an output file");
  const size_t limit = EffectiveLimit(limit_option, FileSize(paths[0]));
  if (!vxpatch::UnpackLzmaFile(paths[0].c_str(), paths[1].c_str(), limit)) {
    ReportFailure("could not unpack '" + paths[0] + "'", limit);
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace

void AddContainerCommands(CommandTable* table) {
  table->push_back({"pack", "[--exe] IN OUT", RunPack});
  table->push_back({"unpack", "[--limit BYTES] IN OUT", RunUnpack});
}

}  // namespace vxtool
