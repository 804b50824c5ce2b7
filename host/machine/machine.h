// The simulated notebook: physical memory, the I/O port bus with its devices,
// and the SMI gate into the firmware's system-management handler.
// Thread-safe: every port access, SMI and clock step is one step under the
// machine's lock, and its memory, firmware and physics are reached only
// through views that hold that lock.
#pragma once

#include "physical_memory.h"
#include "port_device.h"
#include "smm_firmware.h"
#include "thermal_model.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zhost {

struct PortAccess {
    uint16_t port;
    bool write;
    uint8_t value;
    bool operator==(const PortAccess&) const = default;
};

// One part of the machine, reached while the view lives; the machine's other
// callers wait meanwhile. A view of an absent part (a machine without
// physics) is false.
template <class Part> class Locked {
  public:
    Locked(std::recursive_mutex& mutex, Part* part) : lock_(mutex), part_(part) {}
    Part* operator->() const { return part_; }
    Part& operator*() const { return *part_; }
    explicit operator bool() const { return part_ != nullptr; }

  private:
    std::unique_lock<std::recursive_mutex> lock_;
    Part* part_;
};

class Machine {
  public:
    static constexpr uint16_t kSmiCommandPort = 0xB2;
    static constexpr uint16_t kPostCodePort = 0x84;
    static constexpr size_t kPortLogLimit = 1u << 20;

    std::string name = "unnamed";

    Locked<PhysicalMemory> memory() { return {mutex_, &memory_}; }
    Locked<const PhysicalMemory> memory() const { return {mutex_, &memory_}; }
    Locked<SmmFirmware> smm() { return {mutex_, &smm_}; }
    Locked<const SmmFirmware> smm() const { return {mutex_, &smm_}; }

    // How the notebook heats and cools; without a profile's thermal section
    // the view is false and the sensors read their fixed base temperatures.
    Locked<ThermalModel> thermal() { return {mutex_, thermal_ ? &*thermal_ : nullptr}; }
    Locked<const ThermalModel> thermal() const { return {mutex_, thermal_ ? &*thermal_ : nullptr}; }
    void setThermal(ThermalModel model);

    void addDevice(std::unique_ptr<PortDevice> device);
    template <class Device> Device* findDevice()
    {
        for (auto& device : devices_) {
            if (auto* found = dynamic_cast<Device*>(device.get())) {
                return found;
            }
        }
        return nullptr;
    }

    uint8_t portRead(uint16_t port);
    void portWrite(uint16_t port, uint8_t value);

    // What the CPU does for SmmTrigger: load AX..DX, write AL to 0xB2 (the
    // handler runs during that write), write the then AL to 0x84, and hand
    // back AX..DX.
    CpuRegisters smmTrigger(CpuRegisters registers);
    // The first half of it, for a CPU that executes the two port writes
    // itself: the write of AL to 0xB2 with AX..DX loaded, during which the
    // handler runs.
    CpuRegisters smiCommand(CpuRegisters registers);

    // The simulated clock, from 0 at power-on. Advancing it lets the thermal
    // model (if the profile has one) run for that long.
    uint64_t clockMs() const;
    void advanceClock(uint64_t ms);

    // Every port access in order (bounded: the oldest are kept).
    std::vector<PortAccess> portLog() const;
    void clearPortLog();

    // The same accesses as text lines, handed to `sink` as they happen (in
    // order, under the machine's lock, so the sink must not call back):
    // "out 0x2e <- 0xaa", "in 0x2f -> 0x55", and for an SMI, in place of its
    // writes to 0xB2 and 0x84, "smi ax=0x02a3 bx=0x0001 cx=0x0000
    // dx=0x0000 -> ax=... bx=... cx=... dx=..." with the registers sent and
    // returned. Every caller's accesses reach it, whichever kernel runs the
    // driver. An empty sink ends the trace.
    using TraceSink = std::function<void(const std::string&)>;
    void setPortTrace(TraceSink sink);

    // Data-port accesses made by another thread than the one that wrote the
    // pair's index port last: an index/data pair interleaved with another.
    uint64_t interleavedAccesses() const;

    // Everything the machine holds but its trace sink, so that a fuzzer can
    // put one machine back between inputs instead of building it again.
    struct State {
        std::string name;
        PhysicalMemory::State memory;
        SmmFirmware smm;
        std::optional<ThermalModel> thermal;
        std::vector<std::shared_ptr<const PortDevice>> devices;
        CpuRegisters cpu;
        std::vector<PortAccess> portLog;
        bool inSmi = false;
        std::map<uint16_t, std::thread::id> indexWriter;
        uint64_t interleaved = 0;
        uint64_t clockMs = 0;
        bool operator==(const State& other) const;
    };
    State state() const;
    void restore(const State& state);

  private:
    CpuRegisters smiLocked(CpuRegisters registers);
    uint8_t readLocked(uint16_t port);
    void writeLocked(uint16_t port, uint8_t value);
    void record(uint16_t port, bool write, uint8_t value);
    void checkPairing(uint16_t port, bool write);

    // Recursive: one expression may hold two views of the machine at once.
    mutable std::recursive_mutex mutex_;
    PhysicalMemory memory_;
    SmmFirmware smm_;
    std::optional<ThermalModel> thermal_;
    std::vector<std::unique_ptr<PortDevice>> devices_;
    CpuRegisters cpu_;
    std::vector<PortAccess> portLog_;
    TraceSink trace_;
    bool inSmi_ = false;
    std::map<uint16_t, std::thread::id> indexWriter_;
    uint64_t interleaved_ = 0;
    uint64_t clockMs_ = 0;
};

} // namespace zhost
