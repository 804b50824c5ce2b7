// Firmware of a real notebook, replayed on the simulated one: the files that
// `dmidecode --dump-bin` and `acpidump` write on Linux, and raw images of
// physical memory. A malformed file is refused with a DumpError whose text
// names the file and the line or offset, before anything is placed.
#pragma once

#include "machine/machine.h"

#include <cstdint>
#include <istream>
#include <nlohmann/json.hpp>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace zhost {

class DumpError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

// One "SIG @ 0x..." block of an acpidump text. The RSDP's signature is
// "RSDP" whichever header layout named it.
struct AcpiDumpBlock {
    std::string signature;
    uint64_t address = 0;
    std::vector<uint8_t> bytes;
    size_t line = 0; // of the header, from 1
};

std::vector<AcpiDumpBlock> ParseAcpiDump(std::istream& in, const std::string& name);

// Places every block at its recorded address. Blocks recorded at address 0
// (tables the kernel read from sysfs, loaded at run time) and blocks above
// 4 GiB, which a 32-bit notebook cannot reach, are left out. Blocks that
// overlap must agree on the bytes they share: they are then one memory seen
// twice, as with firmware whose tables overlap. An RSDP in conventional
// memory gets the BIOS data area's EBDA pointer aimed at its kilobyte unless
// the pointer already covers it.
void PlaceAcpiDump(Machine& machine, const std::vector<AcpiDumpBlock>& blocks, const std::string& name);
void ImportAcpiDump(Machine& machine, const std::string& path);

struct SmbiosPlacement {
    uint32_t entryPoint = 0;
    uint32_t table = 0;
};

// A dmidecode --dump-bin file: the entry point at offset 0 with its table
// address set to 0x20, the table from 0x20 on. The entry point goes to the
// lowest free 16-byte boundary of the F segment, the table to the lowest
// free 16-byte boundary behind it there, or to the first free page from
// 1 MiB on when the segment has no room; the address field and checksums are
// patched. SMBIOS 3 ("_SM3_") and legacy ("_DMI_") dumps are placed the same
// way, as their own entry point types.
SmbiosPlacement PlaceSmbiosDump(Machine& machine, std::span<const uint8_t> dump, const std::string& name);
SmbiosPlacement ImportSmbiosDump(Machine& machine, const std::string& path);

// A raw image of physical memory from address 0. Holes of a sparse file are
// not read and all-zero pages are not stored.
void ImportPhysImage(Machine& machine, const std::string& path);

// A file's bytes; throws DumpError when it cannot be opened.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// The machine a dump is replayed on: the profile without the firmware that
// the dumps replace. The EBDA pointer stays, as the BIOS data area is no
// part of what acpidump shows.
nlohmann::json ProfileForDumps(nlohmann::json profile, bool replaceSmbios, bool replaceAcpi);

} // namespace zhost
