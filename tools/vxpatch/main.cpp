// vxpatch: the patch engine on the command line. Engine messages of level
// ERROR and worse go to stderr; the exit status is 0 on success, 1 on failure
// and 2 on a usage error.
#include <cstdio>
#include <string>

#include "commands.h"
#include "help.h"
#include "log.h"

namespace vxtool {
namespace {

CommandTable BuildTable() {
  CommandTable table;
  AddContainerCommands(&table);
  AddDiffCommands(&table);
  AddPatchCommands(&table);
  return table;
}

const CommandTable& Table() {
  static const CommandTable table = BuildTable();
  return table;
}

void PrintUsage() {
  std::fprintf(stderr, "usage:\n");
  for (const Command& command : Table()) {
    std::fprintf(stderr, "  vxpatch %s %s\n", command.name.c_str(), command.usage.c_str());
  }
}

}  // namespace

void ReportError(const std::string& message) { std::fprintf(stderr, "vxpatch: %s\n", message.c_str()); }

namespace {
bool g_limit_reported = false;
}  // namespace

bool EngineReportedLimit() { return g_limit_reported; }

int UsageError(const std::string& command, const std::string& problem) {
  ReportError(problem + "; see 'vxpatch " + command + " --help'");
  for (const Command& entry : Table()) {
    if (entry.name == command) std::fprintf(stderr, "usage: vxpatch %s %s\n", entry.name.c_str(), entry.usage.c_str());
  }
  return kExitUsage;
}

namespace {

int PrintHelp(const char* text) {
  std::fputs(text, stdout);
  return std::fflush(stdout) == 0 ? kExitSuccess : kExitFailure;
}

bool AsksForHelp(const Arguments& arguments) {
  for (const std::string& argument : arguments) {
    if (argument == "--help") return true;
  }
  return false;
}

}  // namespace

}  // namespace vxtool

int main(int argc, char** argv) {
  voxlog::EngineLog::AddSink([](const voxlog::LogRecord& record) {
    if (record.message.rfind("output would exceed the limit", 0) == 0) vxtool::g_limit_reported = true;
    if (record.level <= voxlog::LOG_ERROR) {
      std::fprintf(stderr, "vxpatch: %s: %s\n", voxlog::LevelName(record.level), record.message.c_str());
    }
  });
  if (argc < 2) {
    vxtool::ReportError("no command; see 'vxpatch --help'");
    vxtool::PrintUsage();
    return vxtool::kExitUsage;
  }
  const std::string name = argv[1];
  if (argc == 2 && (name == "--help" || name == "help")) return vxtool::PrintHelp(vxtool::ToolHelp());
  for (const vxtool::Command& command : vxtool::Table()) {
    if (command.name != name) continue;
    const vxtool::Arguments arguments(argv + 2, argv + argc);
    const char* help = vxtool::CommandHelp(name);
    if (help != nullptr && vxtool::AsksForHelp(arguments)) return vxtool::PrintHelp(help);
    return command.run(arguments);
  }
  vxtool::ReportError("unknown command '" + name + "'; see 'vxpatch --help'");
  vxtool::PrintUsage();
  return vxtool::kExitUsage;
}
