// A device on the simulated notebook's I/O port bus.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace zhost {

class PortDevice {
  public:
    virtual ~PortDevice() = default;
    virtual bool claims(uint16_t port) const = 0;
    virtual uint8_t read(uint16_t port) = 0;
    virtual void write(uint16_t port, uint8_t value) = 0;
    // Index/data port pairs: a data access belongs to the index written
    // just before it, so another caller's index write in between is a fault.
    virtual std::vector<std::pair<uint16_t, uint16_t>> indexDataPairs() const { return {}; }
    // For a machine's snapshot: a copy in the same state, and whether
    // another device is in the same state.
    virtual std::unique_ptr<PortDevice> clone() const = 0;
    virtual bool sameState(const PortDevice& other) const = 0;
};

} // namespace zhost
