// The Super-I/O requests against the notebook's chip model: every case
// asserts the exact port accesses, since the chip is driven by their order
// and values alone.
#include "sio_fixture.h"

namespace ztest {
namespace {

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

} // namespace
} // namespace ztest
