// ACPI firmware tables of the simulated notebook: the RSDP (revision 0, 1 or
// 2), the RSDT and XSDT and the tables they list, with correct checksums and
// plausible bodies, laid into physical memory where a profile puts them,
// faults of real firmware included (overlapping tables, entries above 4 GiB,
// bad checksums, odd lengths).
#pragma once

#include "machine/physical_memory.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zhost {

// A table named by a profile, or a bare physical address (64-bit: XSDT
// entries and XSDT pointers may name memory above 4 GiB).
struct AcpiReference {
    std::string table; // empty: use address
    uint64_t address = 0;
};

struct AcpiTableLayout {
    std::string name; // what references use; the signature when not given
    std::string signature;
    uint32_t address = 0;
    std::optional<uint32_t> length; // the Length field; the body's natural size when absent
    uint8_t revision = 1;
    std::string oemId = "ZERLO ";
    std::string oemTableId = "ALVISO  ";
    uint32_t oemRevision = 0x20040615;
    std::string creatorId = "ZRLO";
    uint32_t creatorRevision = 0x01000000;
    std::vector<AcpiReference> entries;      // RSDT and XSDT
    std::optional<AcpiReference> dsdt, facs; // FACP
};

struct AcpiRsdpLayout {
    uint32_t address = 0;
    uint8_t revision = 2;
    std::string oemId = "ZERLO ";
    std::optional<AcpiReference> rsdt, xsdt;
    bool badChecksum = false;
};

struct AcpiFirmware {
    std::optional<uint16_t> ebdaSegment; // the word at physical 0x40E
    std::vector<AcpiTableLayout> tables;
    std::vector<AcpiRsdpLayout> rsdps;
};

constexpr uint32_t kEbdaPointerAddress = 0x40E;

// Throws std::invalid_argument for a reference to an unknown table or a
// malformed field.
void PlaceAcpiFirmware(PhysicalMemory& memory, const AcpiFirmware& firmware);

} // namespace zhost
