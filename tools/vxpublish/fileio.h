#pragma once
// Whole-file reads and writes for vxpublish. Failures come back as false
// with a one-line reason naming the file and the system's error.

#include <string>
#include <vector>

namespace vxpublish {

using Bytes = std::vector<unsigned char>;

bool readFile(const std::string& path, Bytes& data, std::string& reason);

// Writes a new file; fails if `path` exists. Removes what it wrote on failure.
bool writeNewFile(const std::string& path, const Bytes& data, int mode, std::string& reason);

// Replaces `path` through a temporary file and a rename, so a reader never
// sees half a file and a failure leaves the old one in place.
bool replaceFile(const std::string& path, const Bytes& data, std::string& reason);

} // namespace vxpublish
