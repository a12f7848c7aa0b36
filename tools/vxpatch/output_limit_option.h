// The --limit option of the commands that unpack or apply: the most bytes
// their output may have. Without it the limit is the larger of 256 MiB and
// 64 times the size of the inputs the output is made from, which every real
// container, diff and patch stays below while a bomb (a few kilobytes that
// announce gigabytes) is refused before it costs anything.
#ifndef VXPATCH_TOOL_OUTPUT_LIMIT_OPTION_H
#define VXPATCH_TOOL_OUTPUT_LIMIT_OPTION_H

#include <cstddef>
#include <string>
#include <vector>

namespace vxtool {

constexpr size_t kDefaultLimitFloor = size_t{256} << 20;
constexpr size_t kDefaultLimitFactor = 64;

struct OutputLimitOption {
  bool given = false;
  size_t bytes = 0;
};

// Parses "--limit N" at arguments[*index] (N in bytes, or with a K, M or G
// suffix for KiB, MiB, GiB); *index moves past the value. Returns false with
// *status set to the usage error when the value is missing or malformed.
bool ParseLimitValue(const std::string& command, const std::vector<std::string>& arguments, size_t* index,
                     OutputLimitOption* option, int* status);

// Parses the arguments of a command that takes only --limit besides its
// files: the files go to *paths in order. Returns false with *status set to
// the usage error on an unknown option or a bad limit.
bool ParseLimitAndPaths(const std::string& command, const std::vector<std::string>& arguments,
                        OutputLimitOption* option, std::vector<std::string>* paths, int* status);

// The limit to use: the option's, or the default for inputs of `input_bytes`.
size_t EffectiveLimit(const OutputLimitOption& option, size_t input_bytes);

// Reports a failure of `what`; when the engine ran into the limit, says so
// with a hint at --limit.
void ReportFailure(const std::string& what, size_t limit);

}  // namespace vxtool

#endif  // VXPATCH_TOOL_OUTPUT_LIMIT_OPTION_H
