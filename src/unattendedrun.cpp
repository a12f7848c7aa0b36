#include "unattendedrun.h"

#include <cstring>

namespace {

const char kOption[] = "--unattended";

} // namespace

QString UnattendedRun::option()
{
    return QString::fromLatin1(kOption);
}

bool UnattendedRun::requested(const QStringList& arguments)
{
    // Position 0 is the program, never an option.
    return arguments.indexOf(option(), 1) > 0;
}

bool UnattendedRun::requested(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], kOption) == 0)
            return true;
    }
    return false;
}

QStringList UnattendedRun::withoutOption(QStringList arguments)
{
    for (int i = arguments.size() - 1; i > 0; --i) {
        if (arguments.at(i) == option())
            arguments.removeAt(i);
    }
    return arguments;
}
