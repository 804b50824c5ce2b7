#include "console/stdout_lines.h"

#include <cerrno>
#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace zerloctl {

bool WriteStdoutLine(const std::string& line)
{
#if defined(_WIN32)
    // stdio in text mode wrote CR LF: a file or pipe gets the same.
    const std::string bytes = line + "\r\n";
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
#else
    const std::string bytes = line + "\n";
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<size_t>(written);
    }
#endif
    return true;
}

void IgnoreBrokenPipe()
{
#if !defined(_WIN32)
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool StdoutIsTerminal()
{
#if defined(_WIN32)
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return isatty(STDOUT_FILENO) == 1;
#endif
}

} // namespace zerloctl
