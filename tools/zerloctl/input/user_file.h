// A file a person names to the programs: a configuration, a recording, a
// dump, a driver image. Only a regular file is read. A FIFO or a device
// would block the reader or never end, and a folder is no text at all, so
// each is refused by what it is before a byte is read.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace zerloctl {

// "PATH: problem", the problem alone in `problem`.
struct FileRefused : std::invalid_argument {
    FileRefused(const std::string& path, const std::string& problem)
        : std::invalid_argument(path + ": " + problem), problem(problem)
    {
    }
    std::string problem;
};

// Why `path` is no regular file ("a folder, not a file", "a FIFO, not a
// regular file", "cannot open: No such file or directory"), or "".
std::string RegularFileProblem(const std::string& path);

// The whole file; one longer than `maxBytes` is refused without being read
// whole. Throws FileRefused.
std::string ReadRegularFile(const std::string& path, size_t maxBytes);

} // namespace zerloctl
