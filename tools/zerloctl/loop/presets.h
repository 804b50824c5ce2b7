// Ready configurations of the fan loop, so that an owner chooses a word
// (quiet, balanced, cool) instead of writing JSON. Each is made for the fans
// and sensors a notebook check found, as the text of a configuration file
// that the owner may edit and the checker accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zerloctl {

struct PresetStep {
    double up = 0;
    double down = 0;
};

struct Preset {
    const char* name;
    const char* help;
    double pollSeconds;
    double minChangeSeconds;
    PresetStep low, high;
};

// In the order the installer offers them.
extern const std::vector<Preset> kPresets;
inline constexpr char kDefaultPreset[] = "balanced";

// Each fan after the first starts this much later, so that both do not
// change at once and the second is heard only when the first is not enough.
inline constexpr double kLaterFanCelsius = 4;

// The preset's configuration for these fans, each following all of these
// sensors; throws std::invalid_argument for an unknown name, no fan or no
// sensor.
std::string PresetConfig(const std::string& name, const std::vector<uint16_t>& fans,
                         const std::vector<uint16_t>& sensors);

std::vector<std::string> PresetNames();
// "quiet, balanced or cool", for help texts and errors.
std::string PresetNamesInWords();

} // namespace zerloctl
