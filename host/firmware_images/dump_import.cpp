#include "dump_import.h"

#include "dump_reading.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace zhost {

using namespace dump;

namespace {

using Range = std::pair<uint64_t, uint64_t>; // first byte, one past the last

} // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DumpError(path + ": cannot open");
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void ImportPhysImage(Machine& machine, const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw DumpError(path + ": cannot open: " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) throw DumpError(path + ": cannot stat: " + std::strerror(errno));
    const uint64_t size = static_cast<uint64_t>(info.st_size);
    constexpr uint64_t kLimit = uint64_t{1} << 32;
    constexpr uint64_t kPage = PhysicalMemory::kPageSize;

    // The data extents; a file system without SEEK_DATA gives the whole file.
    std::vector<Range> extents;
    off_t at = 0;
    while (static_cast<uint64_t>(at) < size) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break; // a hole up to the end
            extents.assign(1, {0, size});
            break;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) hole = static_cast<off_t>(size);
        extents.emplace_back(static_cast<uint64_t>(data), static_cast<uint64_t>(hole));
        at = hole;
    }

    std::vector<uint8_t> page(kPage);
    for (const auto& [from, to] : extents) {
        for (uint64_t start = from / kPage * kPage; start < to; start += kPage) {
            const ssize_t got = ::pread(fd, page.data(), kPage, static_cast<off_t>(start));
            if (got < 0) throw DumpError(path + ": " + OffsetRef(start) + ": read failed: " + std::strerror(errno));
            const auto end = page.begin() + got;
            const auto nonzero = std::find_if(page.begin(), end, [](uint8_t b) { return b != 0; });
            if (nonzero == end) continue;
            if (start >= kLimit) {
                Fail(path, OffsetRef(start + static_cast<uint64_t>(nonzero - page.begin())),
                     "data beyond 4 GiB, which a 32-bit notebook's physical memory does not reach");
            }
            machine.memory()->write(static_cast<uint32_t>(start), std::span(page.data(), static_cast<size_t>(got)));
        }
    }
}

nlohmann::json ProfileForDumps(nlohmann::json profile, bool replaceSmbios, bool replaceAcpi)
{
    if (replaceSmbios) profile.erase("smbios");
    if (replaceAcpi && profile.contains("acpi")) {
        nlohmann::json kept = nlohmann::json::object();
        if (profile["acpi"].contains("ebda_segment")) kept["ebda_segment"] = profile["acpi"]["ebda_segment"];
        profile["acpi"] = kept;
    }
    return profile;
}

} // namespace zhost
