#include "input/user_file.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <fstream>
#else
#include <unistd.h>
#endif

namespace zerloctl {

namespace {

#if defined(_WIN32)
using FileStatus = struct _stat64;
#else
using FileStatus = struct stat;
#endif

std::string KindProblem(const FileStatus& info)
{
    switch (info.st_mode & S_IFMT) {
    case S_IFREG: return "";
    case S_IFDIR: return "a folder, not a file";
    case S_IFCHR: return "a device, not a regular file";
#if !defined(_WIN32)
    case S_IFIFO: return "a FIFO, not a regular file";
    case S_IFSOCK: return "a socket, not a regular file";
    case S_IFBLK: return "a device, not a regular file";
#endif
    default: return "not a regular file";
    }
}

std::string TooLong(size_t maxBytes)
{
    return "longer than " + std::to_string(maxBytes) + " bytes";
}

// Reads through `read` (bytes into a buffer, 0 at the end) until the end or
// one byte past `maxBytes`: the file may grow after its size was judged, and
// memory grows with what is read, not with the bound.
template <typename Read> std::string ReadBounded(const std::string& path, size_t maxBytes, Read read)
{
    std::string text;
    char chunk[65536];
    for (;;) {
        const size_t got = read(chunk, sizeof chunk);
        if (got == 0) return text;
        text.append(chunk, got);
        if (text.size() > maxBytes) throw FileRefused(path, TooLong(maxBytes));
    }
}

} // namespace

#if defined(_WIN32)

std::string RegularFileProblem(const std::string& path)
{
    FileStatus info{};
    if (_stat64(path.c_str(), &info) != 0) return std::string("cannot open: ") + std::strerror(errno);
    return KindProblem(info);
}

// Windows has no FIFO in its file system; a named pipe or a device is not
// something _stat64 calls a regular file, so the check before opening holds.
std::string ReadRegularFile(const std::string& path, size_t maxBytes)
{
    if (const std::string problem = RegularFileProblem(path); !problem.empty()) throw FileRefused(path, problem);
    std::ifstream in(path, std::ios::binary);
    if (!in) throw FileRefused(path, "cannot open");
    return ReadBounded(path, maxBytes, [&path, &in](char* into, size_t length) {
        in.read(into, static_cast<std::streamsize>(length));
        if (in.bad()) throw FileRefused(path, "read failed");
        return static_cast<size_t>(in.gcount());
    });
}

#else

std::string RegularFileProblem(const std::string& path)
{
    FileStatus info{};
    if (::stat(path.c_str(), &info) != 0) return std::string("cannot open: ") + std::strerror(errno);
    return KindProblem(info);
}

// Opened without blocking and judged by what was opened, so that a FIFO put
// in the file's place after a check cannot hang the reader either.
std::string ReadRegularFile(const std::string& path, size_t maxBytes)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw FileRefused(path, std::string("cannot open: ") + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    FileStatus info{};
    if (::fstat(fd, &info) != 0) throw FileRefused(path, std::string("cannot open: ") + std::strerror(errno));
    if (const std::string problem = KindProblem(info); !problem.empty()) throw FileRefused(path, problem);
    if (static_cast<uint64_t>(info.st_size) > maxBytes) throw FileRefused(path, TooLong(maxBytes));
    return ReadBounded(path, maxBytes, [&path, fd](char* into, size_t length) {
        for (;;) {
            const ssize_t n = ::read(fd, into, length);
            if (n >= 0) return static_cast<size_t>(n);
            if (errno != EINTR) throw FileRefused(path, std::string("read failed: ") + std::strerror(errno));
        }
    });
}

#endif

} // namespace zerloctl
