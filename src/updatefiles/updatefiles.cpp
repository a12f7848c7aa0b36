#include "updatefiles.h"

#include <cstring>

namespace {

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

bool endsWith(const std::string& text, const char* suffix)
{
    const size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

} // namespace

std::string UpdateFiles::productName(bool client, const std::string& platform)
{
    return (client ? "client_" : "update_") + platform;
}

bool UpdateFiles::isClientProduct(const std::string& product)
{
    return startsWith(product, "client_");
}

std::string UpdateFiles::productIniName(const std::string& product)
{
    return (isClientProduct(product) ? "vx3_" : "") + product + ".ini";
}

std::string UpdateFiles::packedName(const std::string& name)
{
    return name + kPackedSuffix;
}

std::string UpdateFiles::signatureName(const std::string& name)
{
    return name + kSignatureSuffix;
}

std::string UpdateFiles::modernSignatureName(const std::string& name)
{
    return name + kModernSignatureSuffix;
}

bool UpdateFiles::isPatchKey(const std::string& key)
{
    return endsWith(key, kPatchKeyEnding);
}

UpdateFiles::LineKind UpdateFiles::lineKind(const std::string& section, const std::string& key,
                                            size_t fieldCount)
{
    if (isPatchKey(key))
        return fieldCount == kPackedFields ? LineKind::Patch : LineKind::Invalid;
    if (section == kDeleteSection)
        return LineKind::Deletion;
    if (fieldCount == kPlainFields)
        return LineKind::PlainFile;
    if (fieldCount == kPackedFields)
        return LineKind::PackedFile;
    return LineKind::Invalid;
}

UpdateFiles::PackedForm UpdateFiles::packedForm(const std::string& downloadName)
{
    return endsWith(downloadName, kPackedSuffix) ? PackedForm::Lzma2 : PackedForm::Gzip;
}

bool UpdateFiles::isSafeRelativePath(const std::string& path)
{
    // Qt takes a leading ':' for its resources, which are absolute paths too.
    if (path.empty() || path.front() == '/' || path.front() == ':')
        return false;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('/', start);
        const std::string part = path.substr(start, end == std::string::npos ? end : end - start);
        if (part == "." || part == "..")
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}
