// The host kernel is strict where NT is: misuse stops the process the way a
// bug check stops the machine, so a driver bug cannot pass a test silently.
#include "driver_fixture.h"

namespace ztest {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif
#else
constexpr bool kAsan = false;
#endif

class HostKernel : public ::testing::Test {
  protected:
    void SetUp() override
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(driver.start(), STATUS_SUCCESS);
    }
    PVOID map(uint32_t physical, SIZE_T length)
    {
        PHYSICAL_ADDRESS address;
        address.QuadPart = physical;
        return MmMapIoSpace(address, length, MmNonCached);
    }
    Driver driver;
};

TEST_F(HostKernel, UnmappingOtherThanWhatWasMappedStops)
{
    auto* mapping = static_cast<uint8_t*>(map(0x2000, 64));
    EXPECT_DEATH(MmUnmapIoSpace(mapping, 63), "STOP: MmUnmapIoSpace.*mapped with length 64");
    EXPECT_DEATH(MmUnmapIoSpace(mapping + 1, 63), "STOP: MmUnmapIoSpace.*no mapping starts there");
    MmUnmapIoSpace(mapping, 64);
    EXPECT_DEATH(MmUnmapIoSpace(mapping, 64), "no mapping starts there");
}

TEST_F(HostKernel, StrayAccessesToFirmwareMemoryFault)
{
    // A range ending on a page boundary is followed by the guard page.
    auto* mapping = static_cast<volatile uint8_t*>(map(0x3000 - 16, 16));
    EXPECT_DEATH((void)mapping[16], "");
    EXPECT_DEATH(mapping[0] = 1, "") << "firmware memory is read-only";
    if (kAsan) {
        // Under ASan even the rest of the last page is out of bounds.
        auto* small = static_cast<volatile uint8_t*>(map(0x5000, 10));
        EXPECT_DEATH((void)small[10], "");
        EXPECT_DEATH((void)small[-1], "");
    }
    auto* released = static_cast<volatile uint8_t*>(map(0x6000, 4096));
    MmUnmapIoSpace(const_cast<uint8_t*>(released), 4096);
    EXPECT_DEATH((void)released[0], "");
}

} // namespace
} // namespace ztest
