#include "machine.h"

#include <cstdio>

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
