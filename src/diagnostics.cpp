#include "diagnostics.h"

#include <QDateTime>
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
void appendLine(const QByteArray& line)
{
    static std::mutex mutex;
    const QByteArray path = qgetenv(kDiagnosticsVariable);
    if (path.isEmpty())
        return;
    const QByteArray stamp = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();

    std::lock_guard<std::mutex> lock(mutex);
    FILE* f = std::fopen(path.constData(), "a");
    if (!f)
        return;
    std::fprintf(f, "%s %s\n", stamp.constData(), line.constData());
    std::fclose(f);
}

void appendMessage(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    static const char* const kinds[] = {"debug", "warning", "critical", "fatal", "info"};
    const char* kind = (type >= 0 && type <= 4) ? kinds[type] : "?";
    appendLine(QByteArray(kind) + ": " + text.toUtf8() + " (" + (context.function ? context.function : "")
               + ", " + (context.file ? context.file : "") + ':' + QByteArray::number(context.line) + ')');
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

void Diagnostics::logLine(const QString& text)
{
    QString oneLine = text;
    oneLine.replace(QLatin1Char('\n'), QLatin1Char(' '));
    appendLine("log: " + oneLine.toUtf8());
}
