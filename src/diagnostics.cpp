#include "diagnostics.h"

#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

const char* const kDiagnosticsVariable = "VX3_UPDATE_DIAGNOSTICS";

void discardMessage(QtMsgType, const QMessageLogContext&, const QString&)
{
}

// Pool threads log too, so appends are serialised. The file is opened per line:
// diagnostics are rare, and a crash must not lose buffered lines.
void appendMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    static std::mutex mutex;
    static const QByteArray path = qgetenv(kDiagnosticsVariable);
    static const char* const kinds[] = {"debug", "warning", "critical", "fatal", "info"};
    const char* kind = (type >= 0 && type <= 4) ? kinds[type] : "?";

    std::lock_guard<std::mutex> lock(mutex);
    FILE* f = std::fopen(path.constData(), "a");
    if (!f)
        return;
    std::fprintf(f, "%s: %s (%s, %s:%d)\n", kind, text.toUtf8().constData(),
                 context.function ? context.function : "", context.file ? context.file : "",
                 context.line);
    std::fclose(f);
}

} // namespace

void Diagnostics::install()
{
    qInstallMessageHandler(targetFile().isEmpty() ? discardMessage : appendMessage);
}

QString Diagnostics::targetFile()
{
    return QString::fromLocal8Bit(qgetenv(kDiagnosticsVariable));
}
