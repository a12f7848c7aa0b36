// The vxpatch tool's command table. A file of commands defines one
// Add...Commands function that appends its entries; main.cpp calls each.
//
// A command receives the arguments after its name and returns the exit status:
// kExitSuccess, kExitFailure (the engine's messages are already on stderr) or
// kExitUsage (after printing what was wrong).
#ifndef VXPATCH_TOOL_COMMANDS_H
#define VXPATCH_TOOL_COMMANDS_H

#include <string>
#include <vector>

namespace vxtool {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using Arguments = std::vector<std::string>;

struct Command {
  std::string name;
  std::string usage;  // the arguments, as shown after the name
  int (*run)(const Arguments& arguments);
};

using CommandTable = std::vector<Command>;

void AddContainerCommands(CommandTable* table);
void AddDiffCommands(CommandTable* table);
void AddPatchCommands(CommandTable* table);

// Shared by the command files: prints "vxpatch: <message>" to stderr.
void ReportError(const std::string& message);
// True once the engine logged that an output would pass its limit.
bool EngineReportedLimit();
// Prints the usage of one command and returns kExitUsage.
int UsageError(const std::string& command, const std::string& problem);

}  // namespace vxtool

#endif  // VXPATCH_TOOL_COMMANDS_H
