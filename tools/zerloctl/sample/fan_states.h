// The names of a fan's states, as every text and JSON of the client and
// the monitor writes them, and as a configuration may name them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zerloctl {

// "off", "low", "high"; a state outside them, as a firmware may report
// one, is "state N".
std::string FanStateName(uint32_t state);
// The state a name stands for; empty for anything but the three names.
std::optional<uint16_t> FanStateNamed(const std::string& name);

} // namespace zerloctl
