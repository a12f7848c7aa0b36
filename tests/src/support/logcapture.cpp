#include "support/logcapture.h"

#include <mutex>

namespace {

std::mutex g_Mutex;
QStringList g_Lines;

void collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Lines.append(message);
}

} // namespace

LogCapture::LogCapture()
    : m_Previous(qInstallMessageHandler(collect))
{
    clear();
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_Previous);
}

QStringList LogCapture::lines() const
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    return g_Lines;
}

int LogCapture::count(const QString& text) const
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    int found = 0;
    for (const QString& line : g_Lines)
        found += line.contains(text) ? 1 : 0;
    return found;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_Mutex);
    g_Lines.clear();
}
