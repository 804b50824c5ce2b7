// SMBIOS tables for the simulated notebook: a 2.x entry point ("_SM_" with
// its "_DMI_" intermediate anchor and both checksums) and a structure table,
// laid out in physical memory from a profile's "smbios" section. The quirks
// model firmware seen on real machines.
#pragma once

#include "machine/machine.h"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zhost {

// One structure from its profile description: formatted area, then the
// string-set. Named fields of the known types are placed at their offsets;
// a string field given as text adds a string, given as a number is stored
// as that string number unchanged.
std::vector<uint8_t> BuildSmbiosStructure(const nlohmann::json& structure, const std::string& where);

// Builds the table and the entry point and writes them to memory.
void ApplySmbios(Machine& machine, const nlohmann::json& section);

} // namespace zhost
