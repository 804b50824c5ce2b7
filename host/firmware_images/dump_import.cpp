#include "dump_import.h"

#include "acpi_builder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace zhost {

namespace {

using Range = std::pair<uint64_t, uint64_t>; // first byte, one past the last

std::string Hex(uint64_t value, int width = 0)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", width, static_cast<unsigned long long>(value));
    return text;
}

[[noreturn]] void Fail(const std::string& name, const std::string& where, const std::string& what)
{
    throw DumpError(name + ": " + where + ": " + what);
}

std::string LineRef(size_t line)
{
    return "line " + std::to_string(line);
}
std::string OffsetRef(uint64_t offset)
{
    return "offset " + Hex(offset);
}

uint32_t Get32(std::span<const uint8_t> bytes, size_t at)
{
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

uint8_t Sum(std::span<const uint8_t> bytes)
{
    uint8_t sum = 0;
    for (uint8_t b : bytes)
        sum = static_cast<uint8_t>(sum + b);
    return sum;
}

bool IsHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// ---- acpidump text ------------------------------------------------------

// "SIG @ 0x..." (acpidump of ACPICA, "RSD  @ ..." for the RSDP) or
// "RSD PTR @ 0x..." and "SSDT @ (nil)" (the older Linux acpidump).
std::optional<AcpiDumpBlock> ParseHeader(const std::string& line, size_t number, const std::string& name)
{
    const auto at = line.find(" @ ");
    if (at == std::string::npos) return std::nullopt;
    std::string signature = line.substr(0, at);
    while (!signature.empty() && signature.back() == ' ')
        signature.pop_back();
    if (signature == "RSD PTR" || signature == "RSD") signature = "RSDP";
    if (signature.size() != 4 ||
        !std::all_of(signature.begin(), signature.end(), [](char c) { return c > ' ' && c < 0x7F; })) {
        Fail(name, LineRef(number), "\"" + signature + "\" is not a table signature");
    }
    std::string address = line.substr(at + 3);
    while (!address.empty() && address.back() == ' ')
        address.pop_back();
    AcpiDumpBlock block{signature, 0, {}, number};
    if (address == "(nil)") return block;
    const bool prefixed = address.size() > 2 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X');
    if (!prefixed || address.size() > 18 || !std::all_of(address.begin() + 2, address.end(), IsHex)) {
        Fail(name, LineRef(number), "\"" + address + "\" is not a hexadecimal address");
    }
    block.address = std::stoull(address.substr(2), nullptr, 16);
    return block;
}

// "    0010: 00 00 FF 1F 24 ...  ascii": the offset, then up to 16 bytes each
// behind one blank; two blanks (or the line's end) close the bytes.
void ParseHexLine(const std::string& line, size_t number, const std::string& name, AcpiDumpBlock& block)
{
    size_t pos = line.find_first_not_of(' ');
    const size_t colon = line.find(':', pos);
    if (colon == std::string::npos || colon == pos || colon - pos > 8 ||
        !std::all_of(line.begin() + static_cast<ptrdiff_t>(pos), line.begin() + static_cast<ptrdiff_t>(colon), IsHex)) {
        Fail(name, LineRef(number), "neither a table header nor a hex line");
    }
    const uint64_t offset = std::stoull(line.substr(pos, colon - pos), nullptr, 16);
    if (offset != block.bytes.size()) {
        Fail(name, LineRef(number),
             "offset " + Hex(offset) + " in " + block.signature + " (line " + std::to_string(block.line) +
                 "), expected " + Hex(block.bytes.size()) + ": lines are missing or out of order");
    }
    pos = colon + 1;
    size_t count = 0;
    while (count < 16 && pos + 2 < line.size() && line[pos] == ' ' && IsHex(line[pos + 1]) && IsHex(line[pos + 2]) &&
           (pos + 3 == line.size() || line[pos + 3] == ' ')) {
        block.bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(pos + 1, 2), nullptr, 16)));
        pos += 3;
        ++count;
    }
    const bool closed = pos == line.size() || line.compare(pos, 2, "  ") == 0;
    if (count == 0 || !closed) Fail(name, LineRef(number), "malformed hex bytes");
}

// The bytes the block must hold: a table's Length, an RSDP's 20 bytes
// (revision 0) or its Length field (revision 2 on).
uint64_t RequiredLength(const AcpiDumpBlock& block)
{
    const auto& b = block.bytes;
    if (block.signature == "RSDP") {
        if (b.size() < 20) return 20;
        if (b[15] < 2) return 20;
        return b.size() < 24 ? 36 : Get32(b, 20);
    }
    return b.size() < 8 ? 36 : Get32(b, 4);
}

void CheckComplete(const AcpiDumpBlock& block, const std::string& name)
{
    if (block.bytes.empty()) Fail(name, LineRef(block.line), block.signature + " block without hex lines");
    const uint64_t required = RequiredLength(block);
    if (block.bytes.size() < required) {
        Fail(name, LineRef(block.line),
             block.signature + " block holds " + std::to_string(block.bytes.size()) + " bytes, its length says " +
                 std::to_string(required) + ": truncated");
    }
}

// ---- free memory for the SMBIOS entry point and table ---------------------

bool Overlaps(const Range& a, const Range& b)
{
    return a.first < b.second && b.first < a.second;
}

// Zero in memory, with a zero guard of 16 bytes either side so that the
// spot is not a run of zeros inside some firmware structure, and clear of
// the ranges placed by this import.
bool Free(const Machine& machine, uint64_t at, uint64_t size, const std::vector<Range>& avoid)
{
    const uint64_t from = at >= 16 ? at - 16 : 0;
    const uint64_t to = at + size + 16;
    if (to > (uint64_t{1} << 32)) return false;
    for (const Range& range : avoid)
        if (Overlaps({from, to}, range)) return false;
    const std::vector<uint8_t> bytes =
        machine.memory()->read(static_cast<uint32_t>(from), static_cast<uint32_t>(to - from));
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

std::optional<uint32_t> FindFree(const Machine& machine, uint64_t from, uint64_t limit, uint64_t step, uint64_t size,
                                 const std::vector<Range>& avoid)
{
    for (uint64_t at = (from + step - 1) / step * step; at + size <= limit; at += step) {
        if (Free(machine, at, size, avoid)) return static_cast<uint32_t>(at);
    }
    return std::nullopt;
}

constexpr uint64_t kFSegment = 0xF0000;
constexpr uint64_t kFSegmentEnd = 0x100000;

} // namespace

std::vector<uint8_t> ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw DumpError(path + ": cannot open");
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<AcpiDumpBlock> ParseAcpiDump(std::istream& in, const std::string& name)
{
    std::vector<AcpiDumpBlock> blocks;
    bool open = false; // a block takes hex lines until a blank line
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) {
            open = false;
            continue;
        }
        if (line[0] != ' ') {
            auto header = ParseHeader(line, number, name);
            if (!header) Fail(name, LineRef(number), "neither a table header nor a hex line");
            if (!blocks.empty()) CheckComplete(blocks.back(), name);
            blocks.push_back(std::move(*header));
            open = true;
            continue;
        }
        if (!open) Fail(name, LineRef(number), "hex line outside a table block");
        ParseHexLine(line, number, name, blocks.back());
    }
    if (blocks.empty()) Fail(name, "line 1", "no table block (\"SIG @ 0x...\" header) in the file");
    CheckComplete(blocks.back(), name);
    return blocks;
}

void PlaceAcpiDump(Machine& machine, const std::vector<AcpiDumpBlock>& blocks, const std::string& name)
{
    std::vector<const AcpiDumpBlock*> placed;
    for (const AcpiDumpBlock& block : blocks) {
        if (block.address == 0 || block.address + block.bytes.size() > (uint64_t{1} << 32)) continue;
        for (const AcpiDumpBlock* other : placed) {
            const uint64_t from = std::max(block.address, other->address);
            const uint64_t to = std::min(block.address + block.bytes.size(), other->address + other->bytes.size());
            for (uint64_t at = from; at < to; ++at) {
                if (block.bytes[at - block.address] != other->bytes[at - other->address]) {
                    Fail(name, LineRef(block.line),
                         block.signature + " at " + Hex(block.address) + " overlaps " + other->signature + " at " +
                             Hex(other->address) + " (line " + std::to_string(other->line) + ") and differs at " +
                             Hex(at));
                }
            }
        }
        placed.push_back(&block);
    }
    for (const AcpiDumpBlock* block : placed) {
        machine.memory()->write(static_cast<uint32_t>(block->address), block->bytes);
    }
    for (const AcpiDumpBlock* block : placed) {
        if (block->signature != "RSDP" || block->address < 0x400 || block->address >= 0xA0000) continue;
        uint8_t word[2];
        machine.memory()->read(kEbdaPointerAddress, word);
        const uint32_t area = (uint32_t{word[0]} | uint32_t{word[1]} << 8) * 16;
        const bool covered =
            area >= 0x400 && area < 0xA0000 && block->address >= area && block->address + 16 <= area + 1024;
        if (!covered) {
            const uint32_t segment = static_cast<uint32_t>(block->address & ~uint64_t{0x3FF}) >> 4;
            const uint8_t bytes[2] = {static_cast<uint8_t>(segment), static_cast<uint8_t>(segment >> 8)};
            machine.memory()->write(kEbdaPointerAddress, bytes);
        }
        break;
    }
}

void ImportAcpiDump(Machine& machine, const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw DumpError(path + ": cannot open");
    PlaceAcpiDump(machine, ParseAcpiDump(in, path), path);
}

SmbiosPlacement PlaceSmbiosDump(Machine& machine, std::span<const uint8_t> dump, const std::string& name)
{
    constexpr size_t kTableOffset = 0x20;
    auto starts = [&](const char* anchor) {
        const size_t n = std::strlen(anchor);
        return dump.size() >= n && std::memcmp(dump.data(), anchor, n) == 0;
    };
    struct Layout {
        const char* kind;
        size_t lengthAt;    // entry point length byte; 0: fixed length
        size_t fixedLength; // when lengthAt is 0
        size_t minLength, maxLength;
        size_t tableLengthAt; // 16-bit, or 32-bit for SMBIOS 3
        bool tableLength32;
        size_t addressAt;                     // table address field
        size_t addressWidth;                  // 4, or 8 for SMBIOS 3
        size_t checksumAt;                    // the entry point's checksum byte
        std::optional<size_t> intermediateAt; // "_DMI_" within a 2.x entry point
    };
    Layout layout;
    if (starts("_SM3_"))
        layout = {"SMBIOS 3", 6, 0, 0x18, 0x20, 0x0C, true, 0x10, 8, 5, std::nullopt};
    else if (starts("_SM_"))
        layout = {"SMBIOS 2", 5, 0, 0x1E, 0x20, 0x16, false, 0x18, 4, 4, size_t{0x10}};
    else if (starts("_DMI_"))
        layout = {"legacy DMI", 0, 0x0F, 0x0F, 0x0F, 0x06, false, 0x08, 4, 5, std::nullopt};
    else
        Fail(name, OffsetRef(0), "no SMBIOS entry point anchor (\"_SM_\", \"_SM3_\" or \"_DMI_\")");

    if (layout.lengthAt && dump.size() <= layout.lengthAt) {
        Fail(name, OffsetRef(dump.size()), "file ends inside the " + std::string(layout.kind) + " entry point");
    }
    const size_t length = layout.lengthAt ? dump[layout.lengthAt] : layout.fixedLength;
    if (length < layout.minLength || length > layout.maxLength) {
        Fail(name, OffsetRef(layout.lengthAt),
             "entry point length " + Hex(length) + " outside " + Hex(layout.minLength) + " to " +
                 Hex(layout.maxLength));
    }
    if (dump.size() < length) {
        Fail(name, OffsetRef(dump.size()),
             "file ends inside the " + std::string(layout.kind) + " entry point of " + std::to_string(length) +
                 " bytes");
    }
    std::vector<uint8_t> entry(dump.begin(), dump.begin() + static_cast<ptrdiff_t>(length));
    if (Sum(entry) != 0) Fail(name, OffsetRef(layout.checksumAt), "entry point checksum does not add up to 0");
    if (layout.intermediateAt) {
        const size_t at = *layout.intermediateAt;
        if (std::memcmp(entry.data() + at, "_DMI_", 5) != 0)
            Fail(name, OffsetRef(at), "no \"_DMI_\" intermediate anchor");
        if (Sum(std::span(entry).subspan(at, 0x0F)) != 0) {
            Fail(name, OffsetRef(at + 5), "intermediate checksum does not add up to 0");
        }
    }
    uint64_t address = 0;
    for (size_t i = 0; i < layout.addressWidth; ++i)
        address |= uint64_t{entry[layout.addressAt + i]} << (8 * i);
    if (address != kTableOffset) {
        Fail(name, OffsetRef(layout.addressAt),
             "table address " + Hex(address) + ", where a dmidecode --dump-bin file has " + Hex(kTableOffset));
    }
    const uint64_t tableLength =
        layout.tableLength32 ? Get32(entry, layout.tableLengthAt)
                             : uint64_t{entry[layout.tableLengthAt]} | uint64_t{entry[layout.tableLengthAt + 1]} << 8;
    if (tableLength > 0 && dump.size() < kTableOffset + tableLength) {
        Fail(name, OffsetRef(dump.size()),
             "file ends inside the structure table (" + std::to_string(tableLength) + " bytes from " +
                 Hex(kTableOffset) + ")");
    }
    // SMBIOS 3 gives the table's maximum size; the dump holds what was read.
    const uint64_t tableBytes = std::min<uint64_t>(tableLength, dump.size() - std::min(dump.size(), kTableOffset));

    const std::vector<Range> none;
    const uint64_t entrySpan = (length + 15) / 16 * 16;
    const auto entryAt = FindFree(machine, kFSegment, kFSegmentEnd, 16, entrySpan, none);
    if (!entryAt) Fail(name, OffsetRef(0), "no free room for the entry point in the F segment (0xF0000 to 0xFFFFF)");
    const std::vector<Range> taken{{*entryAt, *entryAt + entrySpan}};
    auto tableAt = FindFree(machine, *entryAt + entrySpan, kFSegmentEnd, 16, std::max<uint64_t>(tableBytes, 1), taken);
    if (!tableAt)
        tableAt = FindFree(machine, 0x100000, uint64_t{1} << 32, 0x1000, std::max<uint64_t>(tableBytes, 1), taken);
    if (!tableAt) Fail(name, OffsetRef(kTableOffset), "no free room for the structure table below 4 GiB");

    for (size_t i = 0; i < layout.addressWidth; ++i)
        entry[layout.addressAt + i] = static_cast<uint8_t>(uint64_t{*tableAt} >> (8 * i));
    if (layout.intermediateAt) {
        const size_t at = *layout.intermediateAt;
        entry[at + 5] = 0;
        entry[at + 5] = static_cast<uint8_t>(-Sum(std::span(entry).subspan(at, 0x0F)));
    }
    entry[layout.checksumAt] = 0;
    entry[layout.checksumAt] = static_cast<uint8_t>(-Sum(entry));

    machine.memory()->write(*entryAt, entry);
    machine.memory()->write(*tableAt, dump.subspan(kTableOffset, static_cast<size_t>(tableBytes)));
    return {*entryAt, *tableAt};
}

SmbiosPlacement ImportSmbiosDump(Machine& machine, const std::string& path)
{
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    return PlaceSmbiosDump(machine, bytes, path);
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
