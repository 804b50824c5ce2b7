// A device on the simulated notebook's I/O port bus.
#pragma once

#include <cstdint>

namespace zhost {

class PortDevice {
public:
    virtual ~PortDevice() = default;
    virtual bool claims(uint16_t port) const = 0;
    virtual uint8_t read(uint16_t port) = 0;
    virtual void write(uint16_t port, uint8_t value) = 0;
};

} // namespace zhost
