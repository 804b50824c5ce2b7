// The fan loop's tests drive it over their own driver and a notebook that
// heats and cools, so that they judge the machine, not the loop's log.
#pragma once

#include "driver_fixture.h"

#include "requests/transport.h"

namespace ztest {

// The loop's transport over a test's own driver, so the test sees the machine.
class DriverTransport : public zerloctl::Transport {
  public:
    explicit DriverTransport(Driver& driver) : driver_(driver) {}
    zerloctl::Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override
    {
        const zhost::IoctlOutcome outcome = driver_.ioctl(code, input, outputLength);
        return {static_cast<uint32_t>(outcome.status), outcome.information, 0, outcome.reply};
    }
    std::vector<zerloctl::Reply> ioctlOnNewHandles(unsigned, uint32_t, const std::vector<uint8_t>&, uint32_t) override
    {
        throw std::logic_error("not used by the loop");
    }
    bool hasSimulatedClock() const override { return true; }
    uint64_t simulatedClockMs() const override { return driver_.machine->clockMs(); }
    void advanceSimulatedClock(uint64_t ms) override { driver_.machine->advanceClock(ms); }

  private:
    Driver& driver_;
};

// The default notebook with its CPU, GPU and chassis sensors heating under a
// load that steps from light to full after ten minutes.
inline nlohmann::json HeatingProfile(const nlohmann::json& extraSchedule = nlohmann::json::array())
{
    nlohmann::json profile = zhost::DefaultNotebookProfile();
    profile["smm"]["fans"][0]["state"] = 0;
    nlohmann::json schedule = nlohmann::json::array({{{"at_s", 0}, {"load", 0.2}}, {{"at_s", 600}, {"load", 1.0}}});
    for (const nlohmann::json& event : extraSchedule)
        schedule.push_back(event);
    profile["thermal"] = {{"ambient_celsius", 25},
                          {"sensors",
                           {{{"heat_per_load", 73}, {"cooling_per_level", 9}, {"time_constant_s", 60}},
                            {{"heat_per_load", 55}, {"cooling_per_level", 7}, {"time_constant_s", 90}},
                            {{"heat_per_load", 25}, {"cooling_per_level", 2}, {"time_constant_s", 300}}}},
                          {"schedule", schedule}};
    return profile;
}

} // namespace ztest
