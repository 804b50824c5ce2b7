#include "machine.h"

#include <cstdio>
#include <tuple>

namespace zhost {

void Machine::addDevice(std::unique_ptr<PortDevice> device)
{
    std::lock_guard lock(mutex_);
    devices_.push_back(std::move(device));
}

uint8_t Machine::portRead(uint16_t port)
{
    std::lock_guard lock(mutex_);
    return readLocked(port);
}

void Machine::portWrite(uint16_t port, uint8_t value)
{
    std::lock_guard lock(mutex_);
    writeLocked(port, value);
}

CpuRegisters Machine::smmTrigger(CpuRegisters registers)
{
    std::lock_guard lock(mutex_);
    const CpuRegisters returned = smiLocked(registers);
    writeLocked(kPostCodePort, static_cast<uint8_t>(cpu_.ax));
    return returned;
}

CpuRegisters Machine::smiCommand(CpuRegisters registers)
{
    std::lock_guard lock(mutex_);
    return smiLocked(registers);
}

// The trace shows the SMI as one line; the write to 0xB2 and the write to
// 0x84 that follows it belong to that line.
CpuRegisters Machine::smiLocked(CpuRegisters registers)
{
    cpu_ = registers;
    inSmi_ = true;
    writeLocked(kSmiCommandPort, static_cast<uint8_t>(cpu_.ax));
    if (trace_) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "smi ax=0x%04x bx=0x%04x cx=0x%04x dx=0x%04x -> ax=0x%04x bx=0x%04x cx=0x%04x dx=0x%04x",
                      registers.ax, registers.bx, registers.cx, registers.dx, cpu_.ax, cpu_.bx, cpu_.cx, cpu_.dx);
        trace_(line);
    }
    return cpu_;
}

void Machine::setThermal(ThermalModel model)
{
    std::lock_guard lock(mutex_);
    thermal_ = std::move(model);
}

uint64_t Machine::clockMs() const
{
    std::lock_guard lock(mutex_);
    return clockMs_;
}

void Machine::advanceClock(uint64_t ms)
{
    std::lock_guard lock(mutex_);
    if (thermal_) thermal_->advance(clockMs_, clockMs_ + ms, smm_.fanLevels(), smm_.behaviour);
    clockMs_ += ms;
}

std::vector<PortAccess> Machine::portLog() const
{
    std::lock_guard lock(mutex_);
    return portLog_;
}

void Machine::setPortTrace(TraceSink sink)
{
    std::lock_guard lock(mutex_);
    trace_ = std::move(sink);
}

void Machine::clearPortLog()
{
    std::lock_guard lock(mutex_);
    portLog_.clear();
}

uint64_t Machine::interleavedAccesses() const
{
    std::lock_guard lock(mutex_);
    return interleaved_;
}

Machine::State Machine::state() const
{
    std::lock_guard lock(mutex_);
    State state{name,     memory_.state(), smm_,         thermal_,     {},      cpu_,
                portLog_, inSmi_,          indexWriter_, interleaved_, clockMs_};
    for (const auto& device : devices_)
        state.devices.push_back(device->clone());
    return state;
}

void Machine::restore(const State& state)
{
    std::lock_guard lock(mutex_);
    name = state.name;
    memory_.restore(state.memory);
    smm_ = state.smm;
    thermal_ = state.thermal;
    devices_.clear();
    for (const auto& device : state.devices)
        devices_.push_back(device->clone());
    cpu_ = state.cpu;
    portLog_ = state.portLog;
    inSmi_ = state.inSmi;
    indexWriter_ = state.indexWriter;
    interleaved_ = state.interleaved;
    clockMs_ = state.clockMs;
}

bool Machine::State::operator==(const State& other) const
{
    if (devices.size() != other.devices.size()) return false;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (!devices[i]->sameState(*other.devices[i])) return false;
    }
    return std::tie(name, memory, smm, thermal, cpu, portLog, inSmi, indexWriter, interleaved, clockMs) ==
           std::tie(other.name, other.memory, other.smm, other.thermal, other.cpu, other.portLog, other.inSmi,
                    other.indexWriter, other.interleaved, other.clockMs);
}

void Machine::checkPairing(uint16_t port, bool write)
{
    for (auto& device : devices_) {
        for (const auto& [index, data] : device->indexDataPairs()) {
            if (port == index && write) {
                indexWriter_[index] = std::this_thread::get_id();
            } else if (port == data) {
                auto writer = indexWriter_.find(index);
                if (writer != indexWriter_.end() && writer->second != std::this_thread::get_id()) ++interleaved_;
            }
        }
    }
}

uint8_t Machine::readLocked(uint16_t port)
{
    checkPairing(port, false);
    uint8_t value = 0xFF; // nothing drives an unclaimed port
    for (auto& device : devices_) {
        if (device->claims(port)) {
            value = device->read(port);
            break;
        }
    }
    record(port, false, value);
    return value;
}

void Machine::writeLocked(uint16_t port, uint8_t value)
{
    record(port, true, value);
    checkPairing(port, true);
    if (port == kSmiCommandPort) {
        smm_.handle(cpu_, thermal_ ? &*thermal_ : nullptr);
        return;
    }
    for (auto& device : devices_) {
        if (device->claims(port)) {
            device->write(port, value);
            return;
        }
    }
}

void Machine::record(uint16_t port, bool write, uint8_t value)
{
    if (portLog_.size() < kPortLogLimit) {
        portLog_.push_back({port, write, value});
    }
    if (inSmi_) {
        inSmi_ = port != kPostCodePort;
        return;
    }
    if (trace_) {
        char line[32];
        std::snprintf(line, sizeof line, write ? "out 0x%02x <- 0x%02x" : "in 0x%02x -> 0x%02x", port, value);
        trace_(line);
    }
}

} // namespace zhost
