#pragma once
// The names a release may use. The updater reads the product ini with Qt's
// INI reader, which turns ";", "=", "\"" and "," into syntax, decodes "%"
// escapes and "\\" in keys and reads key bytes as Latin-1; it splits values
// at "::" and takes keys and installed paths as paths relative to the
// installation. So only names that survive all of that unchanged are
// published, and anything else is refused with its reason rather than
// installed under a mangled name. The updater's names of update files and its
// kinds of product ini lines come from its own rules (updatefiles.h).

#include <string>

namespace vxpublish {

// A relative path of "/"-separated components, each not "." or "..", made of
// ASCII letters, digits and "._-+~@" only. False with the reason.
bool checkReleasePath(const std::string& path, std::string& reason);

// The updater reads the lines this release may write for `path` as written: a
// plain file line under its own name, a packed line for its LZMA2 container,
// a patch line for its patch, and a deletion. A name ending in "_patch_", for
// one, would make the plain line a patch line, and the updater would refuse
// the whole product ini. False with the reason.
bool checkLineKinds(const std::string& path, const std::string& product, std::string& reason);

// "client_<platform>" or "update_<platform>", <platform> of lowercase letters,
// digits and "_": the two products the updater asks for.
bool checkProductName(const std::string& product, std::string& reason);

} // namespace vxpublish
