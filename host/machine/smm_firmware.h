// The notebook BIOS's system-management handler, entered through the SMI
// gate (a write to port 0xB2). It sees and changes the CPU's AX..DX.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace zhost {

class ThermalModel;

struct CpuRegisters {
    uint16_t ax = 0;
    uint16_t bx = 0;
    uint16_t cx = 0;
    uint16_t dx = 0;
    bool operator==(const CpuRegisters&) const = default;
};

// How the handler answers. Only kNotebook implements the fan and sensor
// functions; the others are the firmware quirks the driver must survive.
enum class SmmBehaviour {
    kNotebook, // the default notebook's fan and thermal functions
    kNone,     // no handler: registers come back unchanged
    kAxFfffBxChanged,
    kDxOnly, // changes only DX, leaves AX as sent
    kAxZero, // AX = 0, BX..DX as sent
};

SmmBehaviour ParseSmmBehaviour(const std::string& name);
const char* SmmBehaviourName(SmmBehaviour behaviour);

struct FanModel {
    uint16_t state = 0;                             // 0 off, 1 low, 2 high
    std::array<uint16_t, 3> speedUnits{0, 90, 150}; // returned AX per state, in 30 rpm units
    bool operator==(const FanModel&) const = default;
};

struct SensorModel {
    std::string name;
    int baseCelsius = 50;    // with both fans off
    int coolingPerLevel = 3; // degrees less for each fan level summed over fans
    bool operator==(const SensorModel&) const = default;
};

class SmmFirmware {
  public:
    SmmBehaviour behaviour = SmmBehaviour::kNotebook;
    std::vector<FanModel> fans{FanModel{}, FanModel{}};
    std::vector<SensorModel> sensors;

    int fanLevels() const;

    // With the notebook's physics, the sensors it covers read from it
    // instead of from their fixed base temperature.
    void handle(CpuRegisters& registers, const ThermalModel* thermal = nullptr);
    uint64_t calls() const { return calls_; }
    // The registers of the last call as the handler received them.
    CpuRegisters lastReceived() const { return lastReceived_; }

    bool operator==(const SmmFirmware&) const = default;

  private:
    void handleNotebook(CpuRegisters& registers, const ThermalModel* thermal);
    uint64_t calls_ = 0;
    CpuRegisters lastReceived_;
};

} // namespace zhost
