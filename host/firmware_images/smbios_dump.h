// A dmidecode --dump-bin file replayed on the simulated notebook. A
// malformed file is refused with a DumpError (dump_import.h) naming the file
// and the offset.
#pragma once

#include "machine/machine.h"

#include <cstdint>
#include <span>
#include <string>

namespace zhost {

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

} // namespace zhost
