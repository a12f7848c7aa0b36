#include "releaseprogress.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace vxpublish {

namespace {

std::string secondsText(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
}

// A line longer than the terminal wraps, and "\r" then redraws only its end.
size_t terminalWidth(std::FILE* out)
{
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        return size.ws_col - 1;
    return 79;
}

} // namespace

std::string byteText(std::uint64_t bytes)
{
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    const char* const units[] = {"KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof *units) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

ReleaseProgress::ReleaseProgress(std::FILE* out, bool terminal, std::size_t files, std::uint64_t bytes)
    : m_Out(out)
    , m_Terminal(terminal)
    , m_Files(files)
    , m_Bytes(bytes)
    , m_Start(std::chrono::steady_clock::now())
{
}

double ReleaseProgress::elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
}

void ReleaseProgress::started(const std::string& path)
{
    const std::lock_guard<std::mutex> lock(m_Mutex);
    m_Working.insert(path);
    if (m_Terminal)
        draw(m_Last);
}

void ReleaseProgress::finished(const std::string& path, std::uint64_t size, const std::string& what,
                               double seconds)
{
    const std::lock_guard<std::mutex> lock(m_Mutex);
    const auto working = m_Working.find(path);
    if (working != m_Working.end())
        m_Working.erase(working);
    ++m_FilesDone;
    m_BytesDone += size;
    m_Last = path + ": " + byteText(size) + ", " + what + ", " + secondsText(seconds);
    if (m_Terminal) {
        draw(m_Last);
        return;
    }
    std::fprintf(m_Out, "[%zu/%zu] %s\n", m_FilesDone, m_Files, m_Last.c_str());
    std::fflush(m_Out);
}

void ReleaseProgress::refresh()
{
    const std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Terminal)
        draw(m_Last);
}

void ReleaseProgress::end()
{
    const std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Terminal && m_Drawn) {
        std::fputc('\n', m_Out);
        std::fflush(m_Out);
        m_Drawn = false;
    }
}

void ReleaseProgress::draw(const std::string& last)
{
    std::string line = "[" + std::to_string(m_FilesDone) + "/" + std::to_string(m_Files) + "] "
                       + byteText(m_BytesDone) + " of " + byteText(m_Bytes) + ", " + secondsText(elapsed());
    if (!m_Working.empty())
        line += "; working on " + *m_Working.begin()
                + (m_Working.size() > 1 ? " and " + std::to_string(m_Working.size() - 1) + " more" : "");
    else if (!last.empty())
        line += "; " + last;
    const size_t width = terminalWidth(m_Out);
    if (line.size() > width)
        line = line.substr(0, width - 3) + "...";
    std::fprintf(m_Out, "\r\033[K%s", line.c_str());
    std::fflush(m_Out);
    m_Drawn = true;
}

} // namespace vxpublish
