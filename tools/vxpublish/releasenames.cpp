#include "releasenames.h"

namespace vxpublish {

const char* const kPackedSuffix = "._lzma2_";
const char* const kPatchSuffix = "._patch_";

namespace {

bool isNameCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
           || c == '.' || c == '_' || c == '-' || c == '+' || c == '~' || c == '@';
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
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
    std::string platform;
    if (startsWith(product, "client_"))
        platform = product.substr(7);
    else if (startsWith(product, "update_"))
        platform = product.substr(7);
    bool valid = !platform.empty();
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

std::string productIniName(const std::string& product)
{
    return (startsWith(product, "client_") ? "vx3_" : "") + product + ".ini";
}

} // namespace vxpublish
