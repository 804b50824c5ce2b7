// How the notebook heats and cools over time. Each sensor with a thermal
// entry moves toward an equilibrium set by the heat load and the summed fan
// levels, with its own time constant; a schedule changes the load (and can
// make the firmware misbehave) at given simulated times. The machine's
// simulated clock drives it: nothing moves unless the clock is advanced.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

namespace zhost {

class Machine;
enum class SmmBehaviour;

// What the temperature function answers, beside an honest reading: a call
// that fails (AX = 0xFFFF), a value no sensor can mean (a stuck ADC), or 0,
// which no sensor of a running notebook reads.
enum class SensorFault { kNone, kFail, kGarbage, kZero };

struct ThermalSensor {
    double heatPerLoad = 60;    // degrees above ambient at load 1 with every fan off
    double coolingPerLevel = 6; // degrees less for each fan level summed over fans
    double timeConstantS = 90;  // seconds to cover 63% of the way to equilibrium
    double celsius = 0;         // now
    bool operator==(const ThermalSensor&) const = default;
};

struct ThermalEvent {
    uint64_t atMs = 0;
    std::optional<double> load;
    std::optional<SensorFault> fault;
    std::optional<SmmBehaviour> handler;
    bool operator==(const ThermalEvent&) const = default;
};

class ThermalModel {
  public:
    static constexpr uint16_t kGarbageReading = 0x00FF;

    double ambientCelsius = 25;
    double load = 0;
    SensorFault fault = SensorFault::kNone;
    std::vector<ThermalSensor> sensors; // in the order of the firmware's sensors
    std::vector<ThermalEvent> schedule; // by time

    double equilibrium(const ThermalSensor& sensor, int fanLevels) const;
    // Moves from `fromMs` to `toMs`; the fans stay as they are meanwhile, a
    // scheduled event takes effect at its time (a handler change is written
    // to `behaviour`).
    void advance(uint64_t fromMs, uint64_t toMs, int fanLevels, SmmBehaviour& behaviour);
    // The temperature function's AX for a sensor this model covers.
    uint16_t reading(size_t sensor) const;

    bool operator==(const ThermalModel&) const = default;

  private:
    void applyEventsAt(uint64_t ms, SmmBehaviour& behaviour);
    size_t nextEvent_ = 0;
};

// Reads a profile's "thermal" section into the machine's physics; the
// firmware's fans and sensors must already be in place. Throws
// std::invalid_argument naming the key on a malformed section.
void ApplyThermal(Machine& machine, const nlohmann::json& thermal);

} // namespace zhost
