#include "smm_firmware.h"

#include "thermal_model.h"

#include <algorithm>
#include <stdexcept>

namespace zhost {

namespace {
constexpr uint16_t kFailure = 0xFFFF;
}

SmmBehaviour ParseSmmBehaviour(const std::string& name)
{
    if (name == "notebook") return SmmBehaviour::kNotebook;
    if (name == "none") return SmmBehaviour::kNone;
    if (name == "ax-ffff-bx-changed") return SmmBehaviour::kAxFfffBxChanged;
    if (name == "dx-only") return SmmBehaviour::kDxOnly;
    if (name == "ax-zero") return SmmBehaviour::kAxZero;
    throw std::invalid_argument("unknown SMM handler '" + name +
                                "' (notebook, none, ax-ffff-bx-changed, dx-only, ax-zero)");
}

const char* SmmBehaviourName(SmmBehaviour behaviour)
{
    switch (behaviour) {
    case SmmBehaviour::kNotebook: return "notebook";
    case SmmBehaviour::kNone: return "none";
    case SmmBehaviour::kAxFfffBxChanged: return "ax-ffff-bx-changed";
    case SmmBehaviour::kDxOnly: return "dx-only";
    case SmmBehaviour::kAxZero: return "ax-zero";
    }
    return "?";
}

void SmmFirmware::handle(CpuRegisters& registers, const ThermalModel* thermal)
{
    ++calls_;
    lastReceived_ = registers;
    switch (behaviour) {
    case SmmBehaviour::kNotebook: handleNotebook(registers, thermal); break;
    case SmmBehaviour::kNone: break;
    case SmmBehaviour::kAxFfffBxChanged:
        registers.ax = kFailure;
        registers.bx = static_cast<uint16_t>(registers.bx ^ 0x5A5A);
        break;
    case SmmBehaviour::kDxOnly: registers.dx = static_cast<uint16_t>(registers.dx + 1); break;
    case SmmBehaviour::kAxZero: registers.ax = 0; break;
    }
}

int SmmFirmware::fanLevels() const
{
    int levels = 0;
    for (const FanModel& fan : fans) {
        levels += fan.state;
    }
    return levels;
}

void SmmFirmware::handleNotebook(CpuRegisters& registers, const ThermalModel* thermal)
{
    const uint16_t function = registers.ax;
    const uint16_t argument = registers.bx;
    // Like real handlers, arguments arrive in BX; fan numbers in its low
    // byte for the set function.
    switch (function) {
    case 0x00A3: registers.ax = argument < fans.size() ? fans[argument].state : kFailure; break;
    case 0x01A3: {
        const uint16_t fan = argument & 0xFF;
        const uint16_t state = argument >> 8;
        if (fan < fans.size() && state <= 2) {
            fans[fan].state = state;
            registers.ax = 0;
        } else {
            registers.ax = kFailure;
        }
        break;
    }
    case 0x02A3:
        registers.ax = argument < fans.size() ? fans[argument].speedUnits[fans[argument].state] : kFailure;
        break;
    case 0x10A3: {
        if (argument >= sensors.size()) {
            registers.ax = kFailure;
            break;
        }
        if (thermal && argument < thermal->sensors.size()) {
            registers.ax = thermal->reading(argument);
            break;
        }
        const SensorModel& sensor = sensors[argument];
        registers.ax = static_cast<uint16_t>(std::max(0, sensor.baseCelsius - sensor.coolingPerLevel * fanLevels()));
        break;
    }
    default: registers.ax = kFailure; break;
    }
}

} // namespace zhost
