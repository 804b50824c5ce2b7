// The NT rules the host kernel holds a driver to are one set for both
// images: the same misuse stops the native image and the emulated i386
// with the same words, and what NT does without stopping (_vsnprintf cutting
// a text) both images do byte for byte. The driver is the deliberately
// faulty misuse_driver.cpp, built for each image.
#include "session/driver_session.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace ztest {
namespace {

using namespace std::string_literals;

struct Image {
    const char* name;
    const char* path;
};

void PrintTo(const Image& image, std::ostream* out)
{
    *out << image.name;
}

class NtRules : public ::testing::TestWithParam<Image> {
  protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        if (!std::filesystem::exists(GetParam().path)) GTEST_SKIP() << GetParam().path << " is not built";
        ASSERT_EQ(session.kernel->load(GetParam().path), STATUS_SUCCESS);
        ASSERT_EQ(session.kernel->open(L"\\DosDevices\\ZerloMisuse", zhost::kAccessRead | zhost::kAccessWrite,
                                       &session.handle),
                  STATUS_SUCCESS);
    }

    zhost::IoctlOutcome request(uint32_t number, const std::vector<uint8_t>& input = {})
    {
        return session.ioctl(number << 2, input, 64);
    }

    // A kernel that lets the thread wait forever (a fast mutex acquired
    // twice) must fail its row, not hang the suite.
    void commit(uint32_t misuse)
    {
        alarm(10);
        request(misuse);
    }

    zhost::DriverSession session;
};

TEST_P(NtRules, EachMisuseStopsBothImagesWithTheSameWords)
{
    struct Misuse {
        uint32_t number;
        const char* stop;
    };
    const Misuse misuses[] = {
        {1, "ExReleaseFastMutex of a fast mutex not held"},
        {2, "IRP_MJ_DEVICE_CONTROL returned holding a fast mutex"},
        {3, "ExAcquireFastMutex of a fast mutex already held: the thread waits forever"},
        {4, "ExAcquireFastMutex of a FAST_MUTEX never initialized"},
        {5, "IoCreateDevice for another driver object"},
        {6, "MULTIPLE_IRP_COMPLETE_REQUESTS"},
        {7, "request completed with a priority boost"},
        {8, "request completed without a status"},
        {9, "IofCompleteRequest of 0x[0-9a-f]+, which is not the request being dispatched"},
        {10, "malformed UNICODE_STRING \\(Length 3, MaximumLength 8\\)"},
        {11, "null UNICODE_STRING passed to the I/O manager"},
        {12, "IoDeleteDevice on an unknown device object"},
        {13, "IRP_MJ_DEVICE_CONTROL completed 0 times"},
    };
    for (const Misuse& misuse : misuses) {
        SCOPED_TRACE("control code " + std::to_string(misuse.number));
        // The whole line: nothing may follow the kernel's words.
        EXPECT_DEATH(commit(misuse.number), "\\*\\*\\* STOP: "s + misuse.stop + "\n");
    }
}

TEST_P(NtRules, VsnprintfCutsATextAsNtDoes)
{
    // The reply: the result as 4 little-endian bytes, then the `count` bytes
    // the text was given; those it left alone still hold the pool's 0xCD.
    struct Cut {
        uint8_t count;
        int32_t result;
        std::string written;
    };
    const Cut cuts[] = {
        {0, -1, ""},
        {4, -1, "3|ab"},
        {8, 8, "3|abcdef"},
        {9, 8, "3|abcdef\0"s},
        {60, 8, "3|abcdef\0"s + std::string(51, '\xCD')},
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE("count " + std::to_string(cut.count));
        std::vector<uint8_t> input{cut.count};
        for (char c : "%d|%s"s + '\0')
            input.push_back(static_cast<uint8_t>(c));
        const zhost::IoctlOutcome outcome = request(14, input);
        EXPECT_EQ(outcome.status, STATUS_SUCCESS);
        EXPECT_EQ(outcome.information, 4u + cut.count);
        std::string expected;
        for (int i = 0; i < 4; ++i)
            expected += static_cast<char>(static_cast<uint32_t>(cut.result) >> (8 * i));
        EXPECT_EQ(std::string(outcome.reply.begin(), outcome.reply.end()), expected + cut.written);
    }
}

TEST_P(NtRules, DevicesLeaveTheDriversChainFromTheMiddleAndTheHead)
{
    const zhost::IoctlOutcome chain = request(15);
    EXPECT_EQ(chain.status, STATUS_SUCCESS);
    EXPECT_EQ(chain.reply, (std::vector<uint8_t>{1, 1, 1}));
    EXPECT_EQ(session.kernel->probe().deviceNames(), std::vector<std::wstring>{L"\\Device\\ZerloMisuse"});
}

TEST_P(NtRules, AWellBehavedRoundLeavesNoDeviceAndNoLink)
{
    const zhost::IoctlOutcome refused = request(99);
    EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(refused.reply.empty());
    EXPECT_EQ(session.kernel->probe().deviceNames(), std::vector<std::wstring>{L"\\Device\\ZerloMisuse"});
    EXPECT_EQ(session.kernel->probe().linkNames(), std::vector<std::wstring>{L"\\DosDevices\\ZerloMisuse"});
    EXPECT_EQ(session.kernel->close(session.handle), STATUS_SUCCESS);
    session.kernel->unload();
    EXPECT_TRUE(session.kernel->probe().deviceNames().empty());
    EXPECT_TRUE(session.kernel->probe().linkNames().empty());
}

INSTANTIATE_TEST_SUITE_P(Images, NtRules,
                         ::testing::Values(Image{"native", ZERLO_MISUSE_DRIVER}, Image{"emulated", ZERLO_MISUSE_IMAGE}),
                         [](const ::testing::TestParamInfo<Image>& info) { return std::string(info.param.name); });

} // namespace
} // namespace ztest
