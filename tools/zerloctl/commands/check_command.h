// `check`: does this notebook answer Zerlo? Every question is asked once
// and only read: the check moves no fan, so the installer may run it before
// the owner has chosen anything.
#pragma once

#include "cli.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zerloctl {

// The sensors the check asks: the BIOSes seen so far number theirs from 0
// and stay well below 16.
inline constexpr uint16_t kCheckedSensors = 16;

// What a fan loop can use on this notebook: the fans whose state the BIOS
// reads, the sensors whose readings are plausible, and, when that is not
// enough for a loop, why.
struct FanLoopParts {
    std::vector<uint16_t> fans;
    std::vector<uint16_t> sensors;
    std::string unusable; // empty when the loop can be used
};

// Asks the BIOS's fan and temperature calls only.
FanLoopParts FindFanLoopParts(Transport& transport);

// The preset's configuration text for the fans and sensors found; when the
// loop cannot be used on this notebook, says why on stderr and gives nothing.
std::optional<std::string> PresetForNotebook(Transport& transport, const std::string& preset);

// "0", "0 and 1", "0, 1 and 2".
std::string ListInWords(const std::vector<uint16_t>& numbers);

void AddCheckCommand(Cli& cli);

} // namespace zerloctl
