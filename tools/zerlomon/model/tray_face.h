// The notification-area icon: the hottest followed temperature as digits in
// a 16x16 icon, coloured by how near it is to the fan loop's top step or its
// critical temperature, whichever is lower, and the tooltip that names every
// reading.
#pragma once

#include "recording.h"

#include "loop/auto_config.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zerlomon {

// Where no configuration says where the top step is.
inline constexpr double kDefaultTopCelsius = 80;
// The icon runs from green this far below the top step to red at it.
inline constexpr double kWarningBand = 30;

struct Colour {
    uint8_t red = 0, green = 0, blue = 0;
    bool operator==(const Colour&) const = default;
};

struct Hottest {
    std::optional<uint32_t> celsius; // empty: no followed sensor answered
    double top = kDefaultTopCelsius; // the lower of its top step's `up` and the critical temperature
};
// Followed: the sensors the configuration's fans follow, or every sensor
// read when there is no configuration (or it follows none). A failed
// reading (see Believable) is no temperature.
Hottest HottestFollowed(const MonitorSample& sample, const zerloctl::AutoConfig* config);

Colour HeatColour(const Hottest& hottest);

inline constexpr int kIconSize = 16;
struct IconFace {
    std::string digits;            // "67", "105", "--"
    Colour colour;                 // of the digits, on a transparent ground
    std::vector<std::string> rows; // kIconSize rows of '#' (digit) and '.'
};
IconFace MakeIconFace(const Hottest& hottest);

// The shell cuts a notification tip at 127 characters; so is this, with "...".
inline constexpr size_t kTooltipLimit = 127;
std::string TooltipText(const MonitorSample& sample, const Hottest& hottest, const std::string& automatic);

} // namespace zerlomon
