#include "sample/fan_states.h"

#include "frame/zerlo_ioctl.h"

#include <iterator>

namespace zerloctl {

namespace {

// Index = the state the driver reads and sets.
const char* const kNames[] = {"off", "low", "high"};
static_assert(std::size(kNames) == ZERLO_MAX_FAN_STATE + 1, "a name for every state the driver knows");

} // namespace

std::string FanStateName(uint32_t state)
{
    return state <= ZERLO_MAX_FAN_STATE ? kNames[state] : "state " + std::to_string(state);
}

std::optional<uint16_t> FanStateNamed(const std::string& name)
{
    for (uint16_t state = 0; state <= ZERLO_MAX_FAN_STATE; ++state)
        if (name == kNames[state]) return state;
    return std::nullopt;
}

} // namespace zerloctl
