// The help of vxpatch and of each of its commands: the one text that --help
// prints and the manual page is made from (help2man reads it). Each says
// what the command does, its options with their defaults, the exit statuses
// and an example.
#ifndef VXPATCH_TOOL_HELP_H
#define VXPATCH_TOOL_HELP_H

#include <string>

namespace vxtool {

const char* ToolHelp();
// Null for a command without help of its own.
const char* CommandHelp(const std::string& command);

}  // namespace vxtool

#endif  // VXPATCH_TOOL_HELP_H
