#pragma once
// The product ini as the publisher writes it:
//
//   version=<N>
//   product=<product>
//   allow-downgrade=1           only when the release may replace newer ones
//
//   [<product>]
//   <key>=<field>::<field>...
//
//   [delete]
//   <path>=<1|2>
//
// "version" and "product" stand before the first section, where the
// updater's file lists ignore them; it compares them with the release it
// asked for so that a validly signed ini cannot be served for another
// version or product. Keys are written in byte order and unquoted; the
// caller passes only names accepted by checkReleasePath, so Qt's reader
// returns them unchanged. An empty "delete" section is left out.

#include <map>
#include <string>

namespace vxpublish {

struct ProductIni
{
    std::string version;
    std::string product;
    bool allowDowngrade = false;
    std::string section;                     // the remote directory of every file
    std::map<std::string, std::string> files; // key -> "::"-joined fields
    std::map<std::string, bool> deletes;      // path -> recursive

    std::string render() const;
};

} // namespace vxpublish
