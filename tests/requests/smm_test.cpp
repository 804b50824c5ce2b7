// System-management calls: what reaches the firmware, and the success rule.
#include "driver_fixture.h"

#include "fan/port_io.h"
#include "fan/smm.h"

#include <tuple>

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
        driver.reset(); // one simulated kernel at a time
        driver = std::make_unique<Driver>(profile);
        driver->startAndOpen();
    }
    std::unique_ptr<Driver> driver;
};

// The success rule on firmware that answers each way: a call succeeds when
// any register changed and AX is not 0xFFFF; a read answers AX (times 30
// for a speed), a set answers 0.
TEST_F(SmmCalls, EachHandlersAnswersFollowTheSuccessRule)
{
    struct Case {
        const char* handler;
        uint32_t code;
        uint16_t word0, word1;
        uint32_t reply;
    };
    for (const Case& c :
         {Case{"none", IOCTL_SMM_GET_FAN_STATE, 0, 0, 0xFFFFFFFF},
          Case{"none", IOCTL_SMM_GET_FAN_SPEED, 1, 0, 0xFFFFFFFF},
          Case{"none", IOCTL_SMM_GET_TEMPERATURE, 0, 0, 0xFFFFFFFF},
          Case{"none", IOCTL_SMM_SET_FAN_STATE, 1, 2, 0xFFFFFFFF},
          Case{"dx-only", IOCTL_SMM_GET_FAN_STATE, 0, 0, 0x00A3}, // AX as sent
          Case{"dx-only", IOCTL_SMM_GET_FAN_SPEED, 0, 0, 0x02A3 * 30},
          Case{"ax-zero", IOCTL_SMM_GET_FAN_STATE, 1, 0, 0}, Case{"ax-zero", IOCTL_SMM_GET_TEMPERATURE, 7, 0, 0},
          Case{"ax-zero", IOCTL_SMM_SET_FAN_STATE, 0, 1, 0},
          Case{"ax-ffff-bx-changed", IOCTL_SMM_GET_FAN_STATE, 0, 0, 0xFFFFFFFF},
          Case{"ax-ffff-bx-changed", IOCTL_SMM_SET_FAN_STATE, 0, 0, 0xFFFFFFFF}}) {
        boot(WithSmmHandler(c.handler));
        EXPECT_EQ(driver->value(c.code, c.word0, c.word1), c.reply) << c.handler << " " << std::hex << c.code;
    }
}

TEST_F(SmmCalls, EachOperationSendsItsFunctionAndArgumentInOneSmi)
{
    boot(zhost::DefaultNotebookProfile());
    std::vector<std::string> trace;
    driver->machine->setPortTrace([&trace](const std::string& line) { trace.push_back(line); });
    EXPECT_EQ(driver->value(IOCTL_SMM_SET_FAN_STATE, 1, 2), 0u);
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_FAN_STATE, 1), 2u);
    // The default notebook has four sensors; 255 is accepted and sent, and
    // the firmware's refusal comes back as the failure value.
    EXPECT_EQ(driver->value(IOCTL_SMM_GET_TEMPERATURE, 255), 0xFFFFFFFFu);
    EXPECT_EQ(trace, (std::vector<std::string>{
                         "smi ax=0x01a3 bx=0x0201 cx=0x0000 dx=0x0000 -> ax=0x0000 bx=0x0201 cx=0x0000 dx=0x0000",
                         "smi ax=0x00a3 bx=0x0001 cx=0x0000 dx=0x0000 -> ax=0x0002 bx=0x0001 cx=0x0000 dx=0x0000",
                         "smi ax=0x10a3 bx=0x00ff cx=0x0000 dx=0x0000 -> ax=0xffff bx=0x00ff cx=0x0000 dx=0x0000"}));
}

} // namespace
} // namespace ztest
