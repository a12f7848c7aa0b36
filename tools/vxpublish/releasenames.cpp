#include "releasenames.h"

#include "updatefiles.h"

namespace vxpublish {

namespace {

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || c == '.' || c == '_' || c == '-' || c == '+' || c == '~' || c == '@';
}

} // namespace

bool checkReleasePath(const std::string& path, std::string& reason)
{
    if (path.empty() || path.front() == '/' || path.back() == '/') {
        reason = "'" + path + "' is not a relative path";
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") {
            reason = "'" + path + "' has an empty, '.' or '..' component";
            return false;
        }
        for (char c : component) {
            if (!isNameCharacter(c)) {
                reason = "'" + path + "' holds the character '" + std::string(1, c)
                         + "', which the product ini cannot carry unchanged "
                           "(allowed: letters, digits and ._-+~@)";
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

bool checkProductName(const std::string& product, std::string& reason)
{
    const size_t separator = product.find('_');
    const std::string platform = separator == std::string::npos ? "" : product.substr(separator + 1);
    bool valid = !platform.empty()
                 && (product == UpdateFiles::productName(true, platform)
                     || product == UpdateFiles::productName(false, platform));
    for (char c : platform)
        valid = valid && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    if (!valid) {
        reason = "product '" + product
                 + "' is neither client_<platform> nor update_<platform> "
                   "(for example client_linux_amd64)";
        return false;
    }
    return true;
}

bool checkLineKinds(const std::string& path, const std::string& product, std::string& reason)
{
    using Kind = UpdateFiles::LineKind;
    const size_t plain = UpdateFiles::kPlainFields;
    const size_t packed = UpdateFiles::kPackedFields;
    const std::string container = path + UpdateFiles::kPackedSuffix;
    const char* misread = nullptr;
    if (!UpdateFiles::isSafeRelativePath(path))
        misread = "a path inside the installation";
    else if (UpdateFiles::lineKind(product, path, plain) != Kind::PlainFile)
        misread = "a plain file";
    else if (UpdateFiles::lineKind(product, container, packed) != Kind::PackedFile
             || UpdateFiles::packedForm(container) != UpdateFiles::PackedForm::Lzma2)
        misread = "an LZMA2 container";
    else if (UpdateFiles::lineKind(product, path + UpdateFiles::kPatchSuffix, packed) != Kind::Patch)
        misread = "a patch";
    else if (UpdateFiles::lineKind(UpdateFiles::kDeleteSection, path, 1) != Kind::Deletion)
        misread = "a deletion";
    if (misread == nullptr)
        return true;
    reason = "'" + path + "' cannot be published: the updater would not read its line as " + misread;
    if (UpdateFiles::isPatchKey(path))
        reason += std::string(" (any name ending in '") + UpdateFiles::kPatchKeyEnding + "' is a patch)";
    return false;
}

} // namespace vxpublish
