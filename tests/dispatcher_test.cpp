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

TEST_F(Dispatcher, CodesOutsideTheTableAreInvalidParameters)
{
    const uint32_t neighbours[] = {
        ZerloControlCode(0x903),
        ZerloControlCode(0x908),
        ZerloControlCode(0x90F),
        ZerloControlCode(0x914),
        ZerloControlCode(0x8FF),
        (IOCTL_GET_VERSION & 0xFFFFu) | (0x9C41u << 16), // another device type
        IOCTL_GET_VERSION | 1,                           // another method
        (IOCTL_GET_VERSION & ~0xC000u) | 0xC000u,        // read and write access
        0,
    };
    for (uint32_t code : neighbours) {
        const auto outcome = driver.ioctl(code, Words(0, 0), 64);
        EXPECT_EQ(outcome.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(outcome.information, 0u) << std::hex << code;
        EXPECT_TRUE(outcome.reply.empty());
    }
}

TEST_F(Dispatcher, EveryCodeRefusesOneByteLessThanItsMinimums)
{
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        SCOPED_TRACE(request.name);
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

TEST_F(Dispatcher, SizesAreCheckedBeforeArguments)
{
    // A fan number out of range in a short input still reads as too small.
    const auto outcome = driver.ioctl(IOCTL_SMM_GET_FAN_STATE, {7, 0, 0}, 4);
    EXPECT_EQ(outcome.status, STATUS_BUFFER_TOO_SMALL);
    const auto valid = driver.ioctl(IOCTL_SMM_GET_FAN_STATE, {1, 0, 0}, 4);
    EXPECT_EQ(valid.status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(Dispatcher, ArgumentRangesAtTheirBoundaries)
{
    struct Case {
        uint32_t code;
        uint16_t word0, word1;
        NTSTATUS status;
    };
    const Case cases[] = {
        {IOCTL_SMM_SET_FAN_STATE, 1, 2, STATUS_SUCCESS},
        {IOCTL_SMM_SET_FAN_STATE, 2, 0, STATUS_INVALID_PARAMETER},
        {IOCTL_SMM_SET_FAN_STATE, 0, 3, STATUS_INVALID_PARAMETER},
        {IOCTL_SMM_GET_FAN_STATE, 1, 7, STATUS_SUCCESS}, // the second word is not read
        {IOCTL_SMM_GET_FAN_STATE, 2, 0, STATUS_INVALID_PARAMETER},
        {IOCTL_SMM_GET_FAN_SPEED, 0xFFFF, 0, STATUS_INVALID_PARAMETER},
        {IOCTL_SMM_GET_TEMPERATURE, 255, 0, STATUS_SUCCESS},
        {IOCTL_SMM_GET_TEMPERATURE, 256, 0, STATUS_INVALID_PARAMETER},
        {IOCTL_SMM_GET_TEMPERATURE, 3, 0xFFFF, STATUS_SUCCESS},
        {IOCTL_SIO_SET_FAN_LEVEL, 0, 63, STATUS_SUCCESS},
        {IOCTL_SIO_SET_FAN_LEVEL, 0, 64, STATUS_INVALID_PARAMETER},
        {IOCTL_SIO_SET_FAN_LEVEL, 2, 0, STATUS_INVALID_PARAMETER},
        {IOCTL_SIO_GET_FAN_LEVEL, 1, 64, STATUS_SUCCESS},
        {IOCTL_SIO_GET_FAN_LEVEL, 2, 0, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.code << " " << c.word0 << " " << c.word1);
        const auto outcome = driver.ioctl(c.code, Words(c.word0, c.word1), 4);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_EQ(outcome.information, c.status == STATUS_SUCCESS ? 4u : 0u);
    }
}

TEST_F(Dispatcher, RefusedFanRequestsRaiseNoSmi)
{
    driver.machine->clearPortLog();
    driver.ioctl(IOCTL_SMM_SET_FAN_STATE, Words(2, 0), 4);
    driver.ioctl(IOCTL_SMM_SET_FAN_STATE, Words(0, 3), 4);
    driver.ioctl(IOCTL_SMM_GET_TEMPERATURE, Words(256), 4);
    EXPECT_TRUE(driver.machine->portLog().empty());
    EXPECT_EQ(driver.machine->smm.calls(), 0u);
}

TEST_F(Dispatcher, ReplyOverwritesTheInputAndOnlyTheReplyLengthReturns)
{
    // Input bytes beyond the words that a code reads are ignored, and the
    // caller gets back exactly the reply length however large its buffer.
    std::vector<uint8_t> input = Words(1, 0);
    input.resize(32, 0xEE);
    const auto outcome = driver.ioctl(IOCTL_SMM_GET_FAN_SPEED, input, 32);
    EXPECT_EQ(outcome.status, STATUS_SUCCESS);
    EXPECT_EQ(outcome.information, 4u);
    EXPECT_EQ(Long(outcome.reply), 0u); // fan 1 is off on the default notebook
}

TEST(DispatcherTextReplies, AreTheTextThenZerosUpToTheReplyLengthWhateverThePoolHeld)
{
    // The host kernel fills a system buffer behind the input with 0xCD, as
    // NT leaves it with whatever the pool held.
    Driver bare(zhost::BareProfile());
    bare.startAndOpen();
    EXPECT_EQ(bare.ioctl(IOCTL_GET_CPU_SPEED, {}, 64).reply, (std::vector<uint8_t>{'-', '-', '-', 0, 0, 0, 0, 0}));
    const std::string noSmbios = "*** Error: No SMBIOS found ***";
    std::vector<uint8_t> expected(noSmbios.begin(), noSmbios.end());
    expected.resize(ZERLO_SMBIOS_REPORT_SIZE, 0);
    EXPECT_EQ(bare.ioctl(IOCTL_GET_SMBIOS_REPORT, Words(0xCDCD, 0xCDCD), ZERLO_SMBIOS_REPORT_SIZE).reply, expected);
}

TEST_F(Dispatcher, HandlesOpenForReadingOnlyAreRefusedByTheIoManager)
{
    zhost::Handle readOnly;
    ASSERT_EQ(driver.kernel->open(L"\\DosDevices\\ZerloDev", zhost::kAccessRead, &readOnly), STATUS_SUCCESS);
    for (const ZerloRequestInfo& request : ZERLO_REQUESTS) {
        const auto outcome = driver.kernel->ioctl(readOnly, request.code, Words(0), request.minimumOutput);
        EXPECT_EQ(outcome.status, STATUS_ACCESS_DENIED) << request.name;
    }
    EXPECT_EQ(driver.kernel->close(readOnly), STATUS_SUCCESS);
}

} // namespace
} // namespace ztest
