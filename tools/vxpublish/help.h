#pragma once
// The help of vxpublish and of each of its commands: the one text that
// `--help` prints and the manual page is made from (help2man reads it).
// Each text says what the command does, its options with their defaults,
// the exit statuses and an example.

#include <string>
#include <vector>

namespace vxpublish {

const char* toolHelp();
// Null for a command without help of its own.
const char* commandHelp(const std::string& command);

// Prints "vxpublish: <reason>; see 'vxpublish COMMAND --help'" (or
// 'vxpublish --help' for an empty command) and returns the usage status.
int usageError(const std::string& command, const std::string& reason);

// For commands of positional arguments alone: EXIT_OK when `args` are as
// many as `names`, else the usage status after naming the argument that is
// missing, unexpected or an unknown option.
int checkPositional(const std::string& command, const std::vector<std::string>& args,
                    const std::vector<std::string>& names);

} // namespace vxpublish
