// The Super-I/O fan controller against the notebook's chip model: every
// case asserts the exact port accesses, since the chip is driven by their
// order and values alone.
#include "driver_fixture.h"

#include "fan/sio.h"
#include "machine/super_io_chip.h"

#include <ostream>
#include <tuple>

namespace zhost {
void PrintTo(const PortAccess& access, std::ostream* out)
{
    *out << (access.write ? "out " : "in ") << std::hex << "0x" << access.port << " 0x" << int{access.value};
}
} // namespace zhost

namespace ztest {
namespace {

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

nlohmann::json ChipProfile(nlohmann::json changes)
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

// --- SioProbe: one step at a time, and nothing after the deciding one ---

using SioProbe = Sio;

TEST_F(SioProbe, EachStepCanRejectAndAnAnsweringChipIsLeftOpen)
{
    // A port reading FF fails at the second open key; an identifier of 0 or
    // FF before the revision; revision 80, another identifier, or the one a
    // board already drove onto the closed data port after it.
    auto idOnly = [](uint8_t id) {
        return Expect().probeOpening(0x2E, 0xFF, 0x55).out(0x2E, 0x20).in(0x2E, 0x20).in(0x2F, id).log;
    };
    const std::vector<std::tuple<nlohmann::json, uint32_t, Accesses>> cases = {
        {{}, 0xFFFFFFFFu, Expect().probeAnswered(0x2E, 0xFF, 0x0E, 0x03).log},
        {{{"revision", "0x7F"}}, 0xFFFFFFFFu, Expect().probeAnswered(0x2E, 0xFF, 0x0E, 0x7F).log},
        {{{"config_port", "0x4E"}}, 0u, Expect().probeAbsent(0x2E).log},
        {{{"quirk", "echo_index"}}, 0u, Expect().out(0x2E, 0xAA).in(0x2E, 0xAA).log},
        {{{"device_id", "0x00"}}, 0u, idOnly(0x00)},
        {{{"device_id", "0xFF"}}, 0u, idOnly(0xFF)},
        {{{"revision", "0x80"}}, 0u, Expect().probeAnswered(0x2E, 0xFF, 0x0E, 0x80).log},
        {{{"device_id", "0x0F"}}, 0u, Expect().probeAnswered(0x2E, 0xFF, 0x0F, 0x03).log},
        {{{"closed_data", "0x0E"}}, 0u, Expect().probeAnswered(0x2E, 0x0E, 0x0E, 0x03).log}};
    for (const auto& [changes, found, log] : cases) {
        SCOPED_TRACE(changes.dump());
        boot(ChipProfile(changes.is_null() ? nlohmann::json::object() : changes));
        EXPECT_EQ(probe(0x2E), found);
        EXPECT_EQ(takeLog(), log);
        if (found) {
            EXPECT_TRUE(chip().configurationOpen()); // no closing key follows
        }
    }
}

// --- SioSetFanLevel: register, 0x80 | level << 1, register, read-back ---

using SioSetFanLevel = Sio;

TEST_F(SioSetFanLevel, FirstCallDetectsThenEachWritesBit7AndTheShiftedLevelAndReadsBack)
{
    boot(zhost::DefaultNotebookProfile());
    EXPECT_EQ(setLevel(0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(setLevel(0, 63), 0xFFFFFFFFu);
    EXPECT_EQ(setLevel(1, 10), 0xFFFFFFFFu);
    EXPECT_EQ(takeLog(), Expect()
                             .detected(kBase)
                             .levelWrite(kBase, 0x92, 0x80, 0x80)
                             .levelWrite(kBase, 0x92, 0xFE, 0xFE)
                             .levelWrite(kBase, 0x93, 0x94, 0x94)
                             .log);
    EXPECT_EQ(chip().levelRegister(1), 0x94);
    EXPECT_EQ(chip().levelRegister(0), 0xFE);
}

TEST_F(SioSetFanLevel, LevelAbove63NeverReachesARuntimeRegister)
{
    // Refused by the request check; called directly, it only detects.
    boot(zhost::DefaultNotebookProfile());
    EXPECT_EQ(driver->ioctl(IOCTL_SIO_SET_FAN_LEVEL, Words(0, 64), 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(takeLog().empty());
    auto* set = ZERLO_SYMBOL(*driver, SioSetFanLevel);
    EXPECT_EQ(set(0, 64), 0u);
    EXPECT_EQ(takeLog(), Expect().detected(kBase).log);
    EXPECT_EQ(set(1, 0xFFFF), 0u);
    EXPECT_TRUE(takeLog().empty());
}

TEST_F(SioSetFanLevel, NoChipFailsAndProbesAgainOnEveryCall)
{
    boot(zhost::BareProfile());
    EXPECT_EQ(setLevel(0, 10), 0u);
    EXPECT_EQ(setLevel(0, 10), 0u);
    EXPECT_EQ(takeLog(), Expect().probeAbsent(0x2E).probeAbsent(0x4E).probeAbsent(0x2E).probeAbsent(0x4E).log);
}

// --- SioGetFanLevel: register, then bits 6..1 of the data port ---

using SioGetFanLevel = Sio;

TEST_F(SioGetFanLevel, DetectsOnceThenReadsTheStoredBlockIgnoringBits7And0)
{
    boot(ChipProfile({{"level_registers", {"0xFF", "0x81"}}}));
    EXPECT_EQ(getLevel(1), 0u);
    EXPECT_EQ(getLevel(0), 63u);
    EXPECT_EQ(takeLog(), Expect().detected(kBase).levelRead(kBase, 0x93, 0x81).levelRead(kBase, 0x92, 0xFF).log);
    driver->machine->portWrite(kBase, 0x92);
    driver->machine->portWrite(kBase + 1, 0x7E);
    EXPECT_EQ(getLevel(0), 63u);
}

// --- Runtime bases that name no block of the chip's ---

using SioRuntimeBase = Sio;

TEST_F(SioRuntimeBase, FixedDevicesPortsLevelOperationsFailDetectingAgainAndTouchNoRuntimePort)
{
    // 0: not assigned; 0xFF: the DMA page and keyboard controllers' range;
    // 0xCF7 and 0xCFF: a runtime port on PCI configuration or the reset
    // control at 0xCF9; 0xFFFF: unimplemented base registers, whose data
    // port would wrap to port 0.
    for (const uint16_t base : {0x0000, 0x00FF, 0x0CF7, 0x0CF8, 0x0CFF, 0xFFFF}) {
        SCOPED_TRACE(base);
        boot(ChipProfile({{"fan_base", base}}));
        baseAddress() = 0x0A00;
        EXPECT_EQ(detect(), 0xFFFFFFFFu); // found, with that base
        EXPECT_EQ(baseAddress(), base);
        takeLog();
        EXPECT_EQ(setLevel(0, 10), 0u);
        EXPECT_EQ(getLevel(1), 0xFFFFFFFFu);
        EXPECT_EQ(takeLog(), Expect().detected(base).detected(base).log);
    }
    // The nearest bases outside both ranges are used.
    for (const uint16_t base : {0x0100, 0x0CF6, 0x0D00}) {
        SCOPED_TRACE(base);
        boot(ChipProfile({{"fan_base", base}}));
        EXPECT_EQ(setLevel(0, 10), 0xFFFFFFFFu);
        EXPECT_EQ(takeLog(), Expect().detected(base).levelWrite(base, 0x92, 0x94, 0x94).log);
    }
}

} // namespace
} // namespace ztest
