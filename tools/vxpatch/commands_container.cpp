// pack and unpack: the packed-file container.
#include "commands.h"
#include "packed_file.h"

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
  if (arguments.size() != 2) return UsageError("unpack", "unpack takes an input and an output file");
  if (!vxpatch::UnpackLzmaFile(arguments[0].c_str(), arguments[1].c_str())) {
    ReportError("could not unpack '" + arguments[0] + "'");
    return kExitFailure;
  }
  return kExitSuccess;
}

}  // namespace

void AddContainerCommands(CommandTable* table) {
  table->push_back({"pack", "[--exe] IN OUT", RunPack});
  table->push_back({"unpack", "IN OUT", RunUnpack});
}

}  // namespace vxtool
