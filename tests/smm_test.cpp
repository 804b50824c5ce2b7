// System-management calls: what reaches the firmware, and the success rule.
#include "driver_fixture.h"

#include "fan/port_io.h"
#include "fan/smm.h"

namespace ztest {
namespace {

nlohmann::json WithSmmHandler(const char* handler)
{
    nlohmann::json profile = zhost::DefaultNotebookProfile();
    profile["smm"]["handler"] = handler;
    return profile;
}

class SmmCalls : public ::testing::Test {
  protected:
    void boot(const nlohmann::json& profile)
    {
        driver = std::make_unique<Driver>(profile);
        driver->startAndOpen();
    }
    zhost::CpuRegisters received() const { return driver->machine->smm.lastReceived(); }
    std::unique_ptr<Driver> driver;
};

TEST_F(SmmCalls, FirmwareThatChangesNothingFailsEveryOperation)
{
    boot(WithSmmHandler("none"));
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 0), 0xFFFFFFFFu);
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_SPEED, 1), 0xFFFFFFFFu);
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_TEMPERATURE, 0), 0xFFFFFFFFu);
    EXPECT_EQ(driver->value(IOCTL_SMM_SET_FAN_STATE, 1, 2), 0xFFFFFFFFu);
}

TEST_F(SmmCalls, ChangingOnlyDxIsSuccessWithTheUnchangedAx)
{
    boot(WithSmmHandler("dx-only"));
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 0), 163u); // 0x00A3 as sent
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_SPEED, 0), 0x02A3u * 30);
}

TEST_F(SmmCalls, AxZeroIsSuccessAndSetFanStateAnswersZeroNotAx)
{
    boot(WithSmmHandler("ax-zero"));
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 1), 0u);
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_TEMPERATURE, 7), 0u);
    EXPECT_EQ(driver->value(IOCTL_SMM_SET_FAN_STATE, 0, 1), 0u);
}

TEST_F(SmmCalls, AxFfffIsFailureEvenWhenBxChanged)
{
    boot(WithSmmHandler("ax-ffff-bx-changed"));
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 0), 0xFFFFFFFFu);
    EXPECT_EQ(driver->value(IOCTL_SMM_SET_FAN_STATE, 0, 0), 0xFFFFFFFFu);
}

TEST_F(SmmCalls, FanSpeedIsThirtyRpmPerUnit)
{
    nlohmann::json profile = zhost::DefaultNotebookProfile();
    profile["smm"]["fans"][1] = {{"state", 2}, {"speed_units", {0, 50, 100}}};
    boot(profile);
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_SPEED, 1), 3000u);
    EXPECT_EQ(received(), (zhost::CpuRegisters{0x02A3, 1, 0, 0}));
}

TEST_F(SmmCalls, EachOperationSendsItsFunctionAndArgument)
{
    boot(zhost::DefaultNotebookProfile());
    EXPECT_EQ(driver->value(IOCTL_SMM_SET_FAN_STATE, 1, 2), 0u);
    EXPECT_EQ(received(), (zhost::CpuRegisters{0x01A3, 0x0201, 0, 0}));
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 1), 2u);
    EXPECT_EQ(received(), (zhost::CpuRegisters{0x00A3, 1, 0, 0}));
    // The default notebook has four sensors; 255 is accepted and sent, and
    // the firmware's refusal comes back as the failure value.
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_TEMPERATURE, 255), 0xFFFFFFFFu);
    EXPECT_EQ(received(), (zhost::CpuRegisters{0x10A3, 0x00FF, 0, 0}));
}

TEST_F(SmmCalls, OneSmiIsTwoByteWritesTo0xB2Then0x84)
{
    boot(zhost::DefaultNotebookProfile());
    driver->machine->clearPortLog();
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 0), 1u);
    // The second write carries AL as the handler left it (state 1).
    EXPECT_EQ(driver->machine->portLog(), (std::vector<zhost::PortAccess>{{0xB2, true, 0xA3}, {0x84, true, 0x01}}));
}

TEST_F(SmmCalls, AFailedCallLeavesTheReturnedRegistersInTheBlock)
{
    boot(WithSmmHandler("ax-ffff-bx-changed"));
    auto* smmCall = ZERLO_SYMBOL(*driver, SmmCall);
    SmiRegisters block{0x00A3, 0x0001, 0, 0};
    EXPECT_EQ(smmCall(&block), 0u);
    EXPECT_EQ(block.ax, 0xFFFF);
    EXPECT_EQ(block.bx, 0x0001 ^ 0x5A5A);
}

TEST_F(SmmCalls, SuccessNeedsOnlyOneRegisterToChange)
{
    boot(WithSmmHandler("dx-only"));
    auto* smmCall = ZERLO_SYMBOL(*driver, SmmCall);
    SmiRegisters block{0x1234, 0x5678, 0x9ABC, 0xDEF0};
    EXPECT_EQ(smmCall(&block), 1u);
    EXPECT_EQ(block.dx, 0xDEF1);
}

} // namespace
} // namespace ztest
