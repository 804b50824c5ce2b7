#include "sample/take_sample.h"

#include "requests/requests.h"

#include "frame/zerlo_ioctl.h"

#include <cmath>

namespace zerloctl {

namespace {

std::optional<uint32_t> Read(Transport& transport, uint32_t code, uint16_t argument)
{
    const ValueResult r = RequestValue(transport, code, argument);
    if (r.refused || r.value == ZERLO_FAILURE) return std::nullopt;
    return r.value;
}

Reading ReadingOf(std::optional<uint32_t> value, const char* error)
{
    return value ? Reading{value, ""} : Reading{std::nullopt, error};
}

} // namespace

Sample ReadSample(Transport& transport, const SamplePlan& plan)
{
    Sample sample;
    for (uint16_t fan = 0; fan <= ZERLO_MAX_FAN; ++fan) {
        const std::optional<uint32_t> state = Read(transport, IOCTL_SMM_GET_FAN_STATE, fan);
        const std::optional<uint32_t> rpm = Read(transport, IOCTL_SMM_GET_FAN_SPEED, fan);
        sample.fans.push_back(state && rpm ? FanReading{state, rpm, ""}
                                           : FanReading{std::nullopt, std::nullopt, "firmware call failed"});
    }
    for (uint16_t sensor = 0; sensor < plan.sensors; ++sensor)
        sample.sensors.push_back(ReadingOf(Read(transport, IOCTL_SMM_GET_TEMPERATURE, sensor), "firmware call failed"));
    for (uint16_t fan = 0; plan.sio && fan <= ZERLO_MAX_FAN; ++fan)
        sample.sioLevels.push_back(ReadingOf(Read(transport, IOCTL_SIO_GET_FAN_LEVEL, fan), "no Super-I/O chip"));
    return sample;
}

Sample TakeSample(Transport& transport, const SamplePlan& plan, LoopClock& clock, double origin)
{
    // Stamped before the requests, as watch always stamped its lines.
    const std::string time = clock.stamp();
    // Whole milliseconds, as the clocks count: a difference of two doubles
    // would print as 0.30000000000000004.
    const double monotonic = std::round((clock.now() - origin) * 1000) / 1000;
    Sample sample = ReadSample(transport, plan);
    sample.time = time;
    sample.monotonic = monotonic;
    return sample;
}

} // namespace zerloctl
