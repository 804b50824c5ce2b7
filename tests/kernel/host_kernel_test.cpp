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
        driver.machine->memory()->write(0x12345, std::vector<uint8_t>{0xAB, 0xCD});
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

TEST_F(HostKernel, MappingsShowThePhysicalBytesAtTheirPageOffset)
{
    auto* bytes = static_cast<const uint8_t*>(map(0x12345, 2));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(bytes) % 4096, 0x345u);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[1], 0xCD);
    MmUnmapIoSpace(const_cast<uint8_t*>(bytes), 2);
}

TEST_F(HostKernel, AddressesAreDeterministicAndBelowFourGiB)
{
    // The BIOS window took the first block; the next mapping follows it.
    void* first = map(0x1000, 36);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first), 0x20022000u);
    MmUnmapIoSpace(first, 36);
}

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

TEST_F(HostKernel, ChosenMapCallsFailAndOthersDoNot)
{
    const uint64_t next = driver.kernel->probe().mapCalls() + 1;
    driver.kernel->probe().failMapCall(next + 1);
    void* first = map(0x1000, 16);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(map(0x1000, 16), nullptr);
    void* third = map(0x1000, 16);
    EXPECT_NE(third, nullptr);
    MmUnmapIoSpace(first, 16);
    MmUnmapIoSpace(third, 16);
}

TEST(HostKernelRuntime, VsnprintfLeavesACutTextUnterminatedAsNtDoes)
{
    auto print = [](char* buffer, size_t count, const char* format, ...) {
        va_list args;
        va_start(args, format);
        const int result = _vsnprintf(buffer, count, format, args);
        va_end(args);
        return result;
    };
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(print(buffer, 8, "%s", "1234567"), 7);
    EXPECT_STREQ(buffer, "1234567");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(print(buffer, 8, "%s", "12345678"), 8);
    EXPECT_EQ(std::string(buffer, 8), "12345678");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(print(buffer, 4, "%d", 123456), -1);
    EXPECT_EQ(std::string(buffer, 8), "1234xxxx");
}

} // namespace
} // namespace ztest
