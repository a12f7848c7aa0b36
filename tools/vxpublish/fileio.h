#pragma once
// Whole-file reads and writes for vxpublish. Failures come back as false
// with a one-line reason naming the file and the system's error.

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vxpublish {

using Bytes = std::vector<unsigned char>;

// read(2) that starts again when a signal interrupts it: what it read, 0 at
// the end, -1 with errno on any other failure.
ssize_t readSome(int fd, void* data, size_t size);
// write(2) until all of `data` is written, starting again after a signal;
// false when write(2) fails (errno says why) or writes nothing.
bool writeAll(int fd, const void* data, size_t size);

bool readFile(const std::string& path, Bytes& data, std::string& reason);

// Writes a new file; fails if `path` exists. Removes what it wrote on failure.
bool writeNewFile(const std::string& path, const Bytes& data, int mode, std::string& reason);

// Replaces `path` through a temporary file and a rename, so a reader never
// sees half a file and a failure leaves the old one in place.
bool replaceFile(const std::string& path, const Bytes& data, std::string& reason);

} // namespace vxpublish
