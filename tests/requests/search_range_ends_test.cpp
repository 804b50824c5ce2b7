// The last candidates of every firmware search. A structure at the last
// place where the bytes the driver reads of it fit inside the searched range
// is found; one a step later is not examined, whatever its bytes beyond the
// range would say. The ranges that end at a page boundary (the EBDA's at
// 0xA0000, the BIOS window's at 1 MiB) are followed by unmapped memory, so a
// read past them stops either kernel as it would stop NT.
#include "acpi_fixture.h"
#include "smbios_test_support.h"

#include "firmware_images/acpi_builder.h"

namespace ztest {
namespace {

constexpr uint32_t kRootPhysical = 0x07FE0000;
constexpr uint32_t kWindowVa = 0x20001000;

// The EBDA segment word and the first area the survey searches for it,
// as its text names the area.
struct FirstArea {
    uint16_t segment;
    uint32_t va;
    unsigned bytes;
};
constexpr FirstArea kEbdaEndingAtTheLimit = {0x9FC0, 0x20024c00, 1024};
constexpr FirstArea kEbdaCutAtTheLimit = {0x9FC1, 0x20024c10, 1008};
constexpr FirstArea kEbdaOfSixteenBytes = {0x9FFF, 0x20024ff0, 16};
constexpr FirstArea kEbdaAtTheLimit = {0xA000, 0x20024000, 1024}; // not trusted: physical 0
// The EBDA is trusted from the BIOS data area's end (0x400) on.
constexpr FirstArea kEbdaInTheDataArea = {0x003F, 0x20024000, 1024}; // not trusted: physical 0
constexpr FirstArea kEbdaAfterTheDataArea = {0x0040, 0x20024400, 1024};
constexpr FirstArea kNoEbda = {0, 0x20024000, 1024}; // physical 0

// An RSDP where a case puts it, valid, whose root lists no table: the
// survey's text after the detection is the root's header and its mapping.
struct RsdpCase {
    const char* name;
    FirstArea area;
    uint32_t address;
    uint8_t revision;
    bool found;
};

std::string Survey(const RsdpCase& c)
{
    const bool extended = c.revision == 2;
    zhost::AcpiFirmware firmware;
    firmware.ebdaSegment = c.area.segment;
    zhost::AcpiTableLayout root;
    root.signature = extended ? "XSDT" : "RSDT";
    root.address = kRootPhysical;
    firmware.tables.push_back(root);
    zhost::AcpiRsdpLayout rsdp;
    rsdp.address = c.address;
    rsdp.revision = c.revision;
    (extended ? rsdp.xsdt : rsdp.rsdt) = zhost::AcpiReference{"", kRootPhysical};
    firmware.rsdps.push_back(rsdp);

    Driver driver(zhost::BareProfile());
    zhost::PlaceAcpiFirmware(*driver.machine->memory(), firmware);
    driver.startAndOpen();
    return AcpiReport(driver);
}

std::string Expected(const RsdpCase& c)
{
    std::string text = EbdaSearch(c.area.va, c.area.bytes);
    if (!c.found) return text + kBiosSearch + kNoAcpi;
    const bool inWindow = c.address >= 0xE0000;
    if (inWindow) text += kBiosSearch;
    // The first area lies within one page, mapped at its block's start.
    const uint32_t va = inWindow ? kWindowVa + (c.address - 0xE0000) : (c.area.va & ~0xFFFu) + c.address % 0x1000;
    const char* root = c.revision == 2 ? "XSDT" : "RSDT";
    return text + Fmt("Sig found at VA 0x%08x\r\n", va) + Root(root, 0x20026000, kRootPhysical) +
           Table(root, 36, 0x20026000, 0x20028000, kRootPhysical) +
           Mappings({kWindowRow, {kRootPhysical, 0x20028000, 36}});
}

// A revision-0 RSDP is read through byte 19, a revision-2 one through byte
// 31 (its XSDT address): a candidate 32 bytes before a range's end is the
// last one either is read at, 16 bytes before the end none is. The
// revision-2 RSDP 48 bytes before the end is the last whose 36 bytes fit.
TEST(SearchRangeEnds, AnRsdpIsTakenAtTheLastCandidateItsReadBytesFitAndNotOneLater)
{
    const std::initializer_list<RsdpCase> cases = {
        // The EBDA's kilobyte ends at 0xA0000.
        {"EBDA 0x9FC0, V1 32 bytes before the end", kEbdaEndingAtTheLimit, 0x9FFE0, 0, true},
        {"EBDA 0x9FC0, V1 16 bytes before the end", kEbdaEndingAtTheLimit, 0x9FFF0, 0, false},
        {"EBDA 0x9FC0, V2 48 bytes before the end", kEbdaEndingAtTheLimit, 0x9FFD0, 2, true},
        {"EBDA 0x9FC0, V2 32 bytes before the end", kEbdaEndingAtTheLimit, 0x9FFE0, 2, true},
        {"EBDA 0x9FC0, V2 16 bytes before the end", kEbdaEndingAtTheLimit, 0x9FFF0, 2, false},
        // Its kilobyte would cross 0xA0000: the search stops there.
        {"EBDA 0x9FC1, V1 32 bytes before the end", kEbdaCutAtTheLimit, 0x9FFE0, 0, true},
        {"EBDA 0x9FC1, V1 16 bytes before the end", kEbdaCutAtTheLimit, 0x9FFF0, 0, false},
        {"EBDA 0x9FC1, V2 48 bytes before the end", kEbdaCutAtTheLimit, 0x9FFD0, 2, true},
        {"EBDA 0x9FC1, V2 32 bytes before the end", kEbdaCutAtTheLimit, 0x9FFE0, 2, true},
        {"EBDA 0x9FC1, V2 16 bytes before the end", kEbdaCutAtTheLimit, 0x9FFF0, 2, false},
        // Only 16 bytes before 0xA0000: no candidate fits.
        {"EBDA 0x9FFF, V1 at its start", kEbdaOfSixteenBytes, 0x9FFF0, 0, false},
        // At 0xA0000 the segment is not trusted: physical 0 is searched.
        {"EBDA 0xA000, V1 in physical 0", kEbdaAtTheLimit, 0x3E0, 0, true},
        // Below 0x40 the segment is not trusted either; at 0x40 it is.
        {"EBDA 0x003F, V1 in physical 0", kEbdaInTheDataArea, 0x3E0, 0, true},
        {"EBDA 0x0040, V1 32 bytes before the end", kEbdaAfterTheDataArea, 0x7E0, 0, true},
        // No EBDA: physical 0's first kilobyte, then the BIOS window.
        {"physical 0, V1 32 bytes before the end", kNoEbda, 0x3E0, 0, true},
        {"physical 0, V1 16 bytes before the end", kNoEbda, 0x3F0, 0, false},
        {"physical 0, V2 32 bytes before the end", kNoEbda, 0x3E0, 2, true},
        {"physical 0, V2 16 bytes before the end", kNoEbda, 0x3F0, 2, false},
        // The BIOS window ends at 1 MiB.
        {"BIOS window, V1 32 bytes before the end", kEbdaEndingAtTheLimit, 0xFFFE0, 0, true},
        {"BIOS window, V1 16 bytes before the end", kEbdaEndingAtTheLimit, 0xFFFF0, 0, false},
        {"BIOS window, V2 48 bytes before the end", kEbdaEndingAtTheLimit, 0xFFFD0, 2, true},
        {"BIOS window, V2 32 bytes before the end", kEbdaEndingAtTheLimit, 0xFFFE0, 2, true},
        {"BIOS window, V2 16 bytes before the end", kEbdaEndingAtTheLimit, 0xFFFF0, 2, false},
    };
    for (const RsdpCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Survey(c), Expected(c));
    }
}

// The SMBIOS search steps by 4 bytes through 0xF0000-0xFFFFF. An entry
// point is read through its structure count (0x1E bytes) and summed over
// its own length: 0xFFFE0 is the last candidate where a 2.x entry point
// fits, at 0xFFFE4 the fields alone would run past the window.
TEST(SearchRangeEnds, AnSmbiosEntryPointIsFoundOnlyWhereItsFieldsAndItsLengthFit)
{
    auto at = [](const char* address, int length) {
        return json{{"entry_point_address", address}, {"entry_point_length", length}};
    };
    ExpectReports({{"length 0", {kBios}, {{"entry_point_length", 0}}, kBiosLines},
                   {"length 0x1F", {kBios}, {{"entry_point_length", 0x1F}}, kBiosLines},
                   {"length 0x20", {kBios}, {{"entry_point_length", 0x20}}, kBiosLines},
                   {"0xFFFE0, length 0x1F", {kBios}, at("0xFFFE0", 0x1F), kBiosLines},
                   {"0xFFFE0 filled, length 0x20", {kBios}, at("0xFFFE0", 0x20), kBiosLines},
                   {"0xFFFE0, length 0x21", {kBios}, at("0xFFFE0", 0x21), kNoSmbios},
                   {"0xFFFE0, length 0x40", {kBios}, at("0xFFFE0", 0x40), kNoSmbios},
                   {"0xFFFE4, length 0x1F", {kBios}, at("0xFFFE4", 0x1F), kNoSmbios},
                   {"0xFFFE4, length 0x10", {kBios}, at("0xFFFE4", 0x10), kNoSmbios},
                   {"0xFFFF0, length 0x10", {kBios}, at("0xFFFF0", 0x10), kNoSmbios},
                   {"0xFFFF8, length 0x08", {kBios}, at("0xFFFF8", 0x08), kNoSmbios},
                   {"0xFFFFC, length 0", {kBios}, at("0xFFFFC", 0), kNoSmbios}});
}

} // namespace
} // namespace ztest
