#include "output_limit_option.h"

#include <vector>

#include "commands.h"
#include "streams.h"

namespace vxtool {

bool ParseLimitValue(const std::string& command, const std::vector<std::string>& arguments, size_t* index,
                     OutputLimitOption* option, int* status) {
  if (*index + 1 == arguments.size()) {
    *status = UsageError(command, "--limit needs a size in bytes");
    return false;
  }
  const std::string& value = arguments[++*index];
  size_t digits = 0;
  size_t bytes = 0;
  const size_t max = vxpatch::kNoOutputLimit;
  while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') {
    const size_t digit = static_cast<size_t>(value[digits] - '0');
    if ((max - digit) / 10 < bytes) break;
    bytes = bytes * 10 + digit;
    ++digits;
  }
  unsigned shift = 0;
  const std::string suffix = value.substr(digits);
  if (suffix == "K") {
    shift = 10;
  } else if (suffix == "M") {
    shift = 20;
  } else if (suffix == "G") {
    shift = 30;
  } else if (!suffix.empty()) {
    digits = 0;
  }
  if (digits == 0 || bytes > (max >> shift)) {
    *status = UsageError(command, "--limit: '" + value + "' is not a size (bytes, or a number with K, M or G)");
    return false;
  }
  option->given = true;
  option->bytes = bytes << shift;
  return true;
}

bool ParseLimitAndPaths(const std::string& command, const std::vector<std::string>& arguments,
                        OutputLimitOption* option, std::vector<std::string>* paths, int* status) {
  for (size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--limit") {
      if (!ParseLimitValue(command, arguments, &index, option, status)) return false;
    } else if (argument.size() > 1 && argument[0] == '-') {
      *status = UsageError(command, "unknown option '" + argument + "'");
      return false;
    } else {
      paths->push_back(argument);
    }
  }
  return true;
}

size_t EffectiveLimit(const OutputLimitOption& option, size_t input_bytes) {
  if (option.given) return option.bytes;
  if (input_bytes > vxpatch::kNoOutputLimit / kDefaultLimitFactor) return vxpatch::kNoOutputLimit;
  const size_t scaled = input_bytes * kDefaultLimitFactor;
  return scaled > kDefaultLimitFloor ? scaled : kDefaultLimitFloor;
}

void ReportFailure(const std::string& what, size_t limit) {
  if (!EngineReportedLimit()) {
    ReportError(what);
    return;
  }
  ReportError(what + ": the output would exceed the limit of " + std::to_string(limit) +
              " bytes (--limit raises it for trusted input)");
}

}  // namespace vxtool
