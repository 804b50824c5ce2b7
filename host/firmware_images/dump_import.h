// Firmware of a real notebook, replayed on the simulated one: the files that
// `dmidecode --dump-bin` and `acpidump` write on Linux, and raw images of
// physical memory. A malformed file is refused with a DumpError whose text
// names the file and the line or offset, before anything is placed.
#pragma once

#include "acpi_dump.h"
#include "machine/machine.h"
#include "smbios_dump.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace zhost {

class DumpError : public std::invalid_argument {
  public:
    using std::invalid_argument::invalid_argument;
};

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
