// Surveys of the simulated notebook's ACPI tables, and the profiles that
// model firmware seen on real machines (tests/profiles/acpi).
#pragma once

#include "driver_fixture.h"
#include "firmware_images/acpi_builder.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace ztest {

inline nlohmann::json AcpiProfile(const std::string& name)
{
    return zhost::LoadProfileFile(std::string(ZERLO_TEST_PROFILES) + "/acpi/" + name + ".json");
}

template <typename... Args> std::string Fmt(const char* format, Args... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

inline std::string AcpiReport(Driver& driver)
{
    return driver.text(IOCTL_GET_ACPI_REPORT, ZERLO_ACPI_REPORT_SIZE);
}

// The start of every survey: the EBDA area, then (unless an RSDP was taken
// there) the BIOS window at its address on a clean start.
inline std::string EbdaSearch(uint32_t va, unsigned bytes = 1024)
{
    return Fmt("Searching EBDA for signature...\r\nSearching VA 0x%08x, %u Bytes...\r\n", va, bytes);
}
inline const std::string kBiosSearch =
    "Searching BIOS area for signature...\r\nSearching VA 0x20001000, 131072 Bytes...\r\n";
inline const std::string kNoAcpi = "*** ERROR: No ACPI BIOS found ***\r\n";

// The lines for the RSDP taken and its root ("RSDT" or "XSDT").
inline std::string Root(const char* root, uint32_t va, uint32_t pa)
{
    return Fmt("ACPI V%c BIOS detected\r\n%s @ VA 0x%08x (PA 0x%08x)\r\nAnalyzing %s...\r\n",
               root[0] == 'X' ? '2' : '1', root, va, pa, root);
}

// A table's header as read, before it is remapped at its full length.
inline std::string Header(const char* signature, unsigned length, uint32_t from, const char* oemId = "ZERLO ",
                          const char* tableId = "ALVISO  ")
{
    return Fmt("  Remapping '%s', %u Bytes from VA 0x%08x\r\n  OEMID:'%s'\r\n  OEM Table ID:'%s'\r\n", signature,
               length, from, oemId, tableId);
}

inline std::string Table(const char* signature, unsigned length, uint32_t from, uint32_t to, uint32_t pa,
                         const char* oemId = "ZERLO ", const char* tableId = "ALVISO  ")
{
    return Header(signature, length, from, oemId, tableId) +
           Fmt("  Table remapped to VA 0x%08x (PA 0x%08x)\r\n", to, pa);
}

// A root entry; the XSDT walk puts a space before the dots, the RSDT walk none.
inline std::string Found(uint32_t pa, const char* root = "RSDT")
{
    return Fmt(root[0] == 'X' ? "Table found at PA 0x%08x ...\r\n" : "Table found at PA 0x%08x...\r\n", pa);
}

inline std::string Entry(const char* root, uint32_t pa, const char* signature, unsigned length, uint32_t from,
                         uint32_t to, const char* oemId = "ZERLO ", const char* tableId = "ALVISO  ")
{
    return Found(pa, root) + Table(signature, length, from, to, pa, oemId, tableId);
}

// The mapping list: {PA, VA, length} rows, the BIOS window's first.
using Row = std::array<uint32_t, 3>;
inline const Row kWindowRow = {0xE0000, 0x20001000, 0x20000};
inline std::string Mappings(const std::vector<Row>& rows)
{
    std::string text = "\r\nPA->VA Mappings:\r\n";
    for (const Row& row : rows)
        text += Fmt("PA 0x%08x -> VA 0x%08x (%u Bytes)\r\n", row[0], row[1], row[2]);
    return text;
}

// An ACPI 1.0 RSDP in the BIOS area and an RSDT at 0x07FE0000 listing
// {address, Length} tables; an address with Length 0 is listed but holds
// nothing.
inline zhost::AcpiFirmware RsdtListing(const std::vector<std::pair<uint32_t, uint32_t>>& tables)
{
    zhost::AcpiFirmware firmware;
    zhost::AcpiRsdpLayout rsdp;
    rsdp.address = 0xFE020;
    rsdp.revision = 0;
    rsdp.rsdt = zhost::AcpiReference{"", 0x07FE0000};
    firmware.rsdps.push_back(rsdp);
    zhost::AcpiTableLayout rsdt;
    rsdt.signature = "RSDT";
    rsdt.address = 0x07FE0000;
    for (const auto& [address, length] : tables) {
        rsdt.entries.push_back(zhost::AcpiReference{"", address});
        if (length != 0) {
            zhost::AcpiTableLayout table;
            table.name = "T" + std::to_string(firmware.tables.size());
            table.signature = "OEMT";
            table.address = address;
            table.length = length;
            firmware.tables.push_back(table);
        }
    }
    firmware.tables.push_back(rsdt);
    return firmware;
}

// The physical ranges mapped now, the BIOS window included.
inline std::vector<std::pair<uint32_t, uint32_t>> LiveRanges(Driver& driver)
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const auto& mapping : driver.kernel->probe().liveMappings()) {
        ranges.emplace_back(mapping.physicalAddress, mapping.length);
    }
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

} // namespace ztest
