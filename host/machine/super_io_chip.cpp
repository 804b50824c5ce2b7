#include "super_io_chip.h"

#include <stdexcept>
#include <string>

namespace zhost {

namespace {

constexpr uint8_t kOpenKey = 0x55;
constexpr uint8_t kCloseKey = 0xAA;
constexpr uint8_t kRegLogicalDevice = 0x07;
constexpr uint8_t kRegDeviceId = 0x20;
constexpr uint8_t kRegRevision = 0x21;
constexpr uint8_t kRegBaseHigh = 0x60;
constexpr uint8_t kRegBaseLow = 0x61;
constexpr uint8_t kFirstDeviceRegister = 0x30;

} // namespace

SuperIoQuirk ParseSuperIoQuirk(const std::string& name)
{
    if (name == "none") return SuperIoQuirk::kNone;
    if (name == "echo_index") return SuperIoQuirk::kEchoIndex;
    if (name == "clears_level_bit7") return SuperIoQuirk::kClearsLevelBit7;
    throw std::invalid_argument("superio.quirk: unknown quirk '" + name + "'");
}

SuperIoChip::SuperIoChip(const SuperIoConfig& config) : config_(config)
{
    auto& fan = deviceRegisters_[kFanDevice];
    fan[kRegBaseHigh] = static_cast<uint8_t>(config.fanBase >> 8);
    fan[kRegBaseLow] = static_cast<uint8_t>(config.fanBase);
    runtime_[kFan0Level] = config.levelRegisters[0];
    runtime_[kFan0Level + 1] = config.levelRegisters[1];
}

uint16_t SuperIoChip::fanBase() const
{
    const auto& fan = deviceRegisters_[kFanDevice];
    return static_cast<uint16_t>(fan[kRegBaseHigh] << 8 | fan[kRegBaseLow]);
}

std::vector<std::pair<uint16_t, uint16_t>> SuperIoChip::indexDataPairs() const
{
    std::vector<std::pair<uint16_t, uint16_t>> pairs{{config_.configPort, config_.configPort + 1}};
    if (fanBase() != 0 && fanBase() != 0xFFFF) pairs.emplace_back(fanBase(), fanBase() + 1);
    return pairs;
}

bool SuperIoChip::claims(uint16_t port) const
{
    if (port == config_.configPort || port == config_.configPort + 1) return true;
    // A base of 0 leaves the runtime block unassigned: it decodes no ports.
    // At 0xFFFF only the index port exists; the data port does not wrap.
    const uint16_t base = fanBase();
    return config_.quirk != SuperIoQuirk::kEchoIndex && base != 0 && (port == base || port == base + 1u);
}

uint8_t SuperIoChip::read(uint16_t port)
{
    if (port == config_.configPort) {
        if (config_.quirk == SuperIoQuirk::kEchoIndex) return latch_;
        return open_ ? configIndex_ : 0xFF;
    }
    if (port == config_.configPort + 1) {
        if (config_.quirk == SuperIoQuirk::kEchoIndex || !open_) return config_.closedData;
        return readConfigRegister();
    }
    const uint16_t base = fanBase();
    if (port == base) return runtimeIndex_;
    return runtime_[runtimeIndex_];
}

void SuperIoChip::write(uint16_t port, uint8_t value)
{
    if (port == config_.configPort) {
        if (config_.quirk == SuperIoQuirk::kEchoIndex) {
            latch_ = value;
        } else if (value == kCloseKey) {
            open_ = false;
        } else if (!open_) {
            open_ = value == kOpenKey;
            configIndex_ = value;
        } else {
            configIndex_ = value;
        }
        return;
    }
    if (port == config_.configPort + 1) {
        if (config_.quirk != SuperIoQuirk::kEchoIndex && open_) writeConfigRegister(value);
        return;
    }
    if (port == fanBase()) {
        runtimeIndex_ = value;
        return;
    }
    const bool level = runtimeIndex_ == kFan0Level || runtimeIndex_ == kFan0Level + 1;
    if (level && config_.quirk == SuperIoQuirk::kClearsLevelBit7) value &= 0x7F;
    runtime_[runtimeIndex_] = value;
}

uint8_t SuperIoChip::readConfigRegister() const
{
    switch (configIndex_) {
    case kRegLogicalDevice: return logicalDevice_;
    case kRegDeviceId: return config_.deviceId;
    case kRegRevision: return config_.revision;
    default: break;
    }
    if (configIndex_ < kFirstDeviceRegister) return 0x00;
    if (logicalDevice_ >= deviceRegisters_.size()) return 0xFF; // no such device
    return deviceRegisters_[logicalDevice_][configIndex_];
}

void SuperIoChip::writeConfigRegister(uint8_t value)
{
    if (configIndex_ == kRegLogicalDevice) {
        logicalDevice_ = value;
    } else if (configIndex_ >= kFirstDeviceRegister && logicalDevice_ < deviceRegisters_.size()) {
        // Firmware may move a device's block; the identification is fixed.
        deviceRegisters_[logicalDevice_][configIndex_] = value;
    }
}

} // namespace zhost
