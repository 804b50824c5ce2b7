// A Super-I/O chip on the notebook's port bus: configuration index/data
// ports at 0x2E/0x2F or 0x4E/0x4F and, at the runtime base of logical
// device 9, an index/data pair holding the fan-level registers.
//
// The configuration registers open with 0x55 written to the index port and
// close with 0xAA. While closed, the index port reads 0xFF and the data port
// the byte that the board drives there; while open, the index port reads
// back the register number last written to it.
#pragma once

#include "port_device.h"

#include <array>
#include <cstdint>
#include <string>
#include <tuple>

namespace zhost {

enum class SuperIoQuirk {
    kNone,
    kEchoIndex,      // the index port is a plain latch: every byte comes back, nothing opens
    kClearsLevelBit7 // a level register drops bit 7 of every byte written to it
};

SuperIoQuirk ParseSuperIoQuirk(const std::string& name); // throws std::invalid_argument

struct SuperIoConfig {
    uint16_t configPort = 0x2E;
    uint8_t deviceId = 0x0E;
    uint8_t revision = 0x01;
    uint8_t closedData = 0xFF; // the data port while the registers are closed
    uint16_t fanBase = 0;      // runtime base of logical device 9
    std::array<uint8_t, 2> levelRegisters{0x80, 0x80};
    SuperIoQuirk quirk = SuperIoQuirk::kNone;
    bool operator==(const SuperIoConfig&) const = default;
};

class SuperIoChip : public PortDevice {
  public:
    static constexpr uint8_t kFanDevice = 0x09;
    static constexpr uint8_t kFan0Level = 0x92;

    explicit SuperIoChip(const SuperIoConfig& config);

    bool claims(uint16_t port) const override;
    uint8_t read(uint16_t port) override;
    void write(uint16_t port, uint8_t value) override;
    std::vector<std::pair<uint16_t, uint16_t>> indexDataPairs() const override;

    bool configurationOpen() const { return open_; }
    uint8_t levelRegister(unsigned fan) const { return runtime_.at(kFan0Level + fan); }
    uint16_t fanBase() const;

    std::unique_ptr<PortDevice> clone() const override { return std::make_unique<SuperIoChip>(*this); }
    bool sameState(const PortDevice& other) const override
    {
        const auto* chip = dynamic_cast<const SuperIoChip*>(&other);
        auto fields = [](const SuperIoChip& c) {
            return std::tie(c.config_, c.open_, c.latch_, c.configIndex_, c.logicalDevice_, c.deviceRegisters_,
                            c.runtimeIndex_, c.runtime_);
        };
        return chip != nullptr && fields(*this) == fields(*chip);
    }

  private:
    uint8_t readConfigRegister() const;
    void writeConfigRegister(uint8_t value);

    SuperIoConfig config_;
    bool open_ = false;
    uint8_t latch_ = 0xFF; // echoing index port only
    uint8_t configIndex_ = 0;
    uint8_t logicalDevice_ = 0;
    std::array<std::array<uint8_t, 0x100>, 0x10> deviceRegisters_{}; // 0x30.. of each logical device
    uint8_t runtimeIndex_ = 0;
    std::array<uint8_t, 0x100> runtime_{};
};

} // namespace zhost
