// The Super-I/O fixture: the notebook's chip model behind the driver, and the
// exact port accesses expected of each step, since the chip is driven by
// their order and values alone.
#pragma once

#include "driver_fixture.h"

#include "fan/sio.h"
#include "machine/super_io_chip.h"

#include <memory>
#include <ostream>
#include <tuple>

namespace zhost {
inline void PrintTo(const PortAccess& access, std::ostream* out)
{
    *out << (access.write ? "out " : "in ") << std::hex << "0x" << access.port << " 0x" << int{access.value};
}
} // namespace zhost

namespace ztest {

using zhost::PortAccess;
using Accesses = std::vector<PortAccess>;

constexpr uint16_t kBase = 0x0A00; // the default notebook's runtime block

// The steps of a probe, to be chained into whole expected sequences.
struct Expect {
    Accesses log;
    Expect& out(uint16_t port, uint8_t value)
    {
        log.push_back({port, true, value});
        return *this;
    }
    Expect& in(uint16_t port, uint8_t value)
    {
        log.push_back({port, false, value});
        return *this;
    }
    // Up to the first read-back of the open key, which a port with nothing
    // behind it fails with 0xFF.
    Expect& probeOpening(uint16_t port, uint8_t closedData, uint8_t indexReads)
    {
        return out(port, 0xAA)
            .in(port, 0xFF)
            .in(port + 1, closedData)
            .out(port, 0x55)
            .out(port, 0x55)
            .in(port, indexReads);
    }
    Expect& probeAbsent(uint16_t port) { return probeOpening(port, 0xFF, 0xFF); }
    Expect& probeAnswered(uint16_t port, uint8_t closedData, uint8_t id, uint8_t revision)
    {
        probeOpening(port, closedData, 0x55);
        return out(port, 0x20).in(port, 0x20).in(port + 1, id).out(port, 0x21).in(port, 0x21).in(port + 1, revision);
    }
    Expect& baseReads(uint16_t port, uint16_t base)
    {
        out(port, 0x07).out(port + 1, 0x09);
        out(port, 0x60).in(port + 1, static_cast<uint8_t>(base >> 8));
        return out(port, 0x61).in(port + 1, static_cast<uint8_t>(base));
    }
    Expect& detected(uint16_t base) { return probeAnswered(0x2E, 0xFF, 0x0E, 0x03).baseReads(0x2E, base); }
    Expect& levelWrite(uint16_t base, uint8_t reg, uint8_t written, uint8_t readBack)
    {
        return out(base, reg).out(base + 1, written).out(base, reg).in(base + 1, readBack);
    }
    Expect& levelRead(uint16_t base, uint8_t reg, uint8_t value) { return out(base, reg).in(base + 1, value); }
};

inline nlohmann::json ChipProfile(nlohmann::json changes)
{
    nlohmann::json chip = {{"config_port", "0x2E"}, {"revision", "0x03"}, {"fan_base", kBase}};
    chip.update(changes);
    nlohmann::json profile = zhost::BareProfile();
    profile["superio"] = chip;
    return profile;
}

class Sio : public ::testing::Test {
  protected:
    void boot(const nlohmann::json& profile)
    {
        driver.reset(); // one kernel at a time
        driver = std::make_unique<Driver>(profile);
        driver->startAndOpen();
        driver->machine->clearPortLog();
    }
    Accesses takeLog()
    {
        Accesses log = driver->machine->portLog();
        driver->machine->clearPortLog();
        return log;
    }
    uint32_t detect() { return driver->value(IOCTL_SIO_DETECT); }
    uint32_t setLevel(uint16_t fan, uint16_t level) { return driver->value(IOCTL_SIO_SET_FAN_LEVEL, fan, level); }
    uint32_t getLevel(uint16_t fan) { return driver->value(IOCTL_SIO_GET_FAN_LEVEL, fan); }
    uint32_t probe(uint16_t port) { return ZERLO_SYMBOL(*driver, SioProbe)(port, 0x20); }
    USHORT& baseAddress() { return *ZERLO_SYMBOL(*driver, SioBaseAddress); }
    zhost::SuperIoChip& chip() { return *driver->machine->findDevice<zhost::SuperIoChip>(); }

    std::unique_ptr<Driver> driver;
};

} // namespace ztest
