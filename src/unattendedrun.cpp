#include "unattendedrun.h"

#include <QFile>

#include <cstring>

namespace {

const char kOption[] = "--unattended";
const char kConfirmationVariable[] = "VX3_UNATTENDED_CONFIRMATION";
const char kTimeoutVariable[] = "VX3_UNATTENDED_CONFIRM_MS";
const char kPlatformVariable[] = "QT_QPA_PLATFORM";
const int kDefaultConfirmationTimeoutMs = 60000;

bool s_offscreenChosen = false;

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

void UnattendedRun::useOffscreenIfHeadless()
{
    // A script or a service may run without any display; the window stays
    // hidden anyway.
    if (qEnvironmentVariableIsEmpty(kPlatformVariable) && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        qputenv(kPlatformVariable, "offscreen");
        s_offscreenChosen = true;
    }
}

void UnattendedRun::confirm()
{
    const QByteArray path = qgetenv(kConfirmationVariable);
    if (path.isEmpty())
        return;
    // Meant for this process alone, not for the client it starts.
    qunsetenv(kConfirmationVariable);
    QFile file(QFile::decodeName(path));
    file.open(QIODevice::WriteOnly);
}

QProcessEnvironment UnattendedRun::stepTwoEnvironment(const QString& confirmationFile)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (s_offscreenChosen)
        environment.remove(QString::fromLatin1(kPlatformVariable));
    environment.insert(QString::fromLatin1(kConfirmationVariable), confirmationFile);
    return environment;
}

int UnattendedRun::confirmationTimeoutMs()
{
    bool valid = false;
    const int ms = qEnvironmentVariableIntValue(kTimeoutVariable, &valid);
    return valid && ms > 0 ? ms : kDefaultConfirmationTimeoutMs;
}
