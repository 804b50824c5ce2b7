// Machine profiles: a JSON description of a notebook, from which the
// simulated machine is built. The default notebook's profile is built in.
#pragma once

#include "machine/machine.h"

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace zhost {

// Throws std::invalid_argument naming the offending key when the profile is
// malformed.
std::unique_ptr<Machine> BuildMachine(const nlohmann::json& profile);

const nlohmann::json& DefaultNotebookProfile();

// No SMM handler, no Super-I/O chip, all-zero physical memory.
nlohmann::json BareProfile();

nlohmann::json LoadProfileFile(const std::string& path);

// Places a file's bytes at a physical address (for --phys ADDR=FILE).
void PlaceFile(Machine& machine, uint32_t address, const std::string& path);

} // namespace zhost
