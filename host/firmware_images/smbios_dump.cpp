#include "smbios_dump.h"

#include "dump_import.h"
#include "dump_reading.h"

#include <algorithm>
#include <optional>

namespace zhost {

namespace {

using namespace dump;
using Range = std::pair<uint64_t, uint64_t>; // first byte, one past the last

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

using namespace dump;

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

} // namespace zhost
