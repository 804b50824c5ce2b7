// The Super-I/O controller's internals, called by symbol: the probe one step
// at a time, the runtime base it keeps, and a level the requests refuse.
#include "sio_fixture.h"

namespace ztest {
namespace {

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

// --- SioSetFanLevel, inside: a level the request never lets through ---

using SioSetFanLevel = Sio;

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
    // The nearest bases outside both ranges are used, and so is the highest
    // base whose data port does not wrap.
    for (const uint16_t base : {0x0100, 0x0CF6, 0x0D00, 0xFFFE}) {
        SCOPED_TRACE(base);
        boot(ChipProfile({{"fan_base", base}}));
        EXPECT_EQ(setLevel(0, 10), 0xFFFFFFFFu);
        EXPECT_EQ(takeLog(), Expect().detected(base).levelWrite(base, 0x92, 0x94, 0x94).log);
    }
}

} // namespace
} // namespace ztest
