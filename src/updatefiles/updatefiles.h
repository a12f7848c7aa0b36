#pragma once
// The names of update files and the kinds of product ini lines, shared by the
// updater, which reads them, and the publisher, which writes them, so that the
// publisher cannot write what the updater refuses or misreads. No Qt: the
// publisher's tool does not link it.
//
// Names: the product ini is "vx3_<product>.ini" for the client and
// "<product>.ini" for the updater itself ("update_<platform>.ini"), fetched
// as "<ini>._lzma2_" with its signature "<ini>.sig" and its modern signatures
// "<ini>.signatures", which updaters of the original format never ask for. A file is downloaded
// under its key; a key ending in "._lzma2_" is an LZMA2 container, any other
// key of a packed line a gzip file, and "<installed path>._patch_" a patch.
//
// Line kinds, by section, key and number of "::"-separated fields:
//   any key ending in "_patch_" (any section)   patch, 5 fields
//   any other key of section "delete"            deletion
//   any other key, 2 fields                      plain file
//   any other key, 5 fields                      packed file
//   anything else                                invalid

#include <cstddef>
#include <string>

class UpdateFiles final
{
public:
    UpdateFiles() = delete;

    enum class LineKind { Patch, PackedFile, PlainFile, Deletion, Invalid };
    enum class PackedForm { Lzma2, Gzip };

    static constexpr const char* kPackedSuffix = "._lzma2_";
    static constexpr const char* kPatchSuffix = "._patch_";
    // What makes a key a patch line; the publisher's patch suffix ends in it.
    static constexpr const char* kPatchKeyEnding = "_patch_";
    static constexpr const char* kSignatureSuffix = ".sig";
    static constexpr const char* kModernSignatureSuffix = ".signatures";
    // The copy of an installed file that a patch is applied to, in the
    // session's temporary directory: "<installed path>_old".
    static constexpr const char* kOldCopySuffix = "_old";
    static constexpr const char* kDeleteSection = "delete";
    static constexpr const char* kFieldSeparator = "::";
    static constexpr int kPlainFields = 2;
    static constexpr int kPackedFields = 5;
    // The value of a deletion line that removes a directory with its content.
    static constexpr int kRecursiveDeletion = 2;

    // "client_<platform>" or "update_<platform>".
    static std::string productName(bool client, const std::string& platform);
    static bool isClientProduct(const std::string& product);
    static std::string productIniName(const std::string& product);
    static std::string packedName(const std::string& name);
    static std::string signatureName(const std::string& name);
    static std::string modernSignatureName(const std::string& name);

    static bool isPatchKey(const std::string& key);
    static LineKind lineKind(const std::string& section, const std::string& key, size_t fieldCount);
    // How a download of a packed line is unpacked, by its name.
    static PackedForm packedForm(const std::string& downloadName);

    // Not empty, not absolute (no leading '/' or ':'), no "." or ".."
    // component: a key or installed path may never leave the installation or
    // the temporary directory.
    static bool isSafeRelativePath(const std::string& path);
};
