#include "productini.h"

namespace vxpublish {

std::string ProductIni::render() const
{
    std::string text = "version=" + version + "\nproduct=" + product + "\n";
    // Updaters that know no floor ignore keys outside the sections.
    if (allowDowngrade)
        text += "allow-downgrade=1\n";
    if (!files.empty()) {
        text += "\n[" + section + "]\n";
        for (const auto& [key, value] : files)
            text += key + "=" + value + "\n";
    }
    if (!deletes.empty()) {
        text += "\n[delete]\n";
        for (const auto& [path, recursive] : deletes)
            text += path + (recursive ? "=2\n" : "=1\n");
    }
    return text;
}

} // namespace vxpublish
