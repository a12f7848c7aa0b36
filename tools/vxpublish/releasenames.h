#pragma once
// The names a release may use. The updater reads the product ini with Qt's
// INI reader, which turns ";", "=", "\"" and "," into syntax, decodes "%"
// escapes and "\\" in keys and reads key bytes as Latin-1; it splits values
// at "::" and takes keys and installed paths as paths relative to the
// installation. So only names that survive all of that unchanged are
// published, and anything else is refused with its reason rather than
// installed under a mangled name.

#include <string>

namespace vxpublish {

// Marks of the updater's own key conventions (packed files and patches).
extern const char* const kPackedSuffix; // "._lzma2_"
extern const char* const kPatchSuffix;  // "._patch_"

// A relative path of "/"-separated components, each not "." or "..", made of
// ASCII letters, digits and "._-+~@" only. False with the reason.
bool checkReleasePath(const std::string& path, std::string& reason);

// "client_<platform>" or "update_<platform>", <platform> of lowercase letters,
// digits and "_": the two products the updater asks for.
bool checkProductName(const std::string& product, std::string& reason);

// The product ini's file name as the updater requests it: "vx3_" + product +
// ".ini" for the client, product + ".ini" for the updater itself.
std::string productIniName(const std::string& product);

} // namespace vxpublish
