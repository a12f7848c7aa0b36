#pragma once
// SHA-512 digests as the product ini states them: 128 lowercase hex digits.
// The updater compares them ignoring case, so lowercase is only our habit.

#include <string>

namespace vxpublish {

// Hashes the whole file; false with a one-line reason naming it when it
// cannot be read.
bool sha512OfFile(const std::string& path, std::string& hex, std::string& reason);

} // namespace vxpublish
