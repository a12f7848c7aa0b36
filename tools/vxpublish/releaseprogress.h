#pragma once
// How a release goes, on standard output (failures alone go to standard
// error). Each finished file gives "[n/N] PATH: SIZE, WHAT, T s". On a
// terminal the line is redrawn in place instead, with the bytes done of all
// and the time so far, and refresh() keeps the time moving while large files
// are still being worked on; otherwise every file gets a line of its own.
// Safe to call from several threads.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>

namespace vxpublish {

class ReleaseProgress final
{
public:
    ReleaseProgress(std::FILE* out, bool terminal, std::size_t files, std::uint64_t bytes);

    void started(const std::string& path);
    void finished(const std::string& path, std::uint64_t size, const std::string& what, double seconds);
    void refresh();
    // Ends an in-place line, so what follows starts on a line of its own.
    void end();

    double elapsed() const;

private:
    void draw(const std::string& line);

    std::mutex m_Mutex;
    std::FILE* m_Out;
    bool m_Terminal;
    std::size_t m_Files;
    std::uint64_t m_Bytes;
    std::size_t m_FilesDone = 0;
    std::uint64_t m_BytesDone = 0;
    std::multiset<std::string> m_Working;
    std::string m_Last;
    bool m_Drawn = false;
    std::chrono::steady_clock::time_point m_Start;
};

// "812 B", "3.4 KB", "184.0 MB", "1.2 GB" (powers of 1024, as file managers show).
std::string byteText(std::uint64_t bytes);

} // namespace vxpublish
