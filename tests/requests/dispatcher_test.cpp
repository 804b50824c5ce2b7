// The request boundary: codes, sizes, argument ranges and statuses.
#include "driver_fixture.h"

namespace ztest {
namespace {

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override { driver.startAndOpen(); }
    Driver driver;
};

TEST_F(Dispatcher, VersionReplyIsOneThenFive)
{
    const auto outcome = driver.ioctl(IOCTL_GET_VERSION, {}, 8);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 8u);
    EXPECT_EQ(outcome.reply, (std::vector<uint8_t>{1, 0, 0, 0, 5, 0, 0, 0}));

    const auto larger = driver.ioctl(IOCTL_GET_VERSION, Words(0xFFFF, 0xFFFF), 64);
    EXPECT_EQ(larger.information, 8u);
    EXPECT_EQ(larger.reply, outcome.reply);
}

TEST_F(Dispatcher, EveryCodeRefusesOneByteLessThanItsMinimums)
{
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        SCOPED_TRACE(request.name);
        // A request without arguments needs no input.
        if (request.minimumInput == 0) {
            EXPECT_EQ(driver.ioctl(request.code, {}, request.minimumOutput).status, STATUS_SUCCESS);
        }
        if (request.minimumInput > 0) {
            const std::vector<uint8_t> shortInput(request.minimumInput - 1, 0);
            const auto outcome = driver.ioctl(request.code, shortInput, request.minimumOutput);
            EXPECT_EQ(outcome.status, STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(outcome.information, 0u);
        }
        const auto outcome = driver.ioctl(request.code, Words(0, 0), request.minimumOutput - 1);
        EXPECT_EQ(outcome.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(outcome.information, 0u);
    }
}

TEST_F(Dispatcher, RefusedFanRequestsRaiseNoSmi)
{
    driver.machine->clearPortLog();
    driver.ioctl(IOCTL_SMM_SET_FAN_STATE, Words(2, 0), 4);
    driver.ioctl(IOCTL_SMM_SET_FAN_STATE, Words(0, 3), 4);
    driver.ioctl(IOCTL_SMM_GET_TEMPERATURE, Words(256), 4);
    EXPECT_TRUE(driver.machine->portLog().empty());
    EXPECT_EQ(driver.machine->smm()->calls(), 0u);
}

} // namespace
} // namespace ztest
