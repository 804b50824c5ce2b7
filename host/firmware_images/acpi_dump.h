// An acpidump text replayed on the simulated notebook. A malformed text is
// refused with a DumpError (dump_import.h) naming the file and the line.
#pragma once

#include "machine/machine.h"

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace zhost {

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

} // namespace zhost
