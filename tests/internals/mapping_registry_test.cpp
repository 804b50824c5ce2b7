// The mapping registry on its own: what is served from an existing row,
// what is mapped anew, and what is released.
#include "acpi_fixture.h"

#include "firmware/mapping_registry.h"
#include "frame/driver.h"

namespace ztest {
namespace {

class Registry : public ::testing::Test {
  protected:
    void SetUp() override
    {
        driver.startAndOpen();
        window = *ZERLO_SYMBOL(driver, BiosWindow);
        reset = ZERLO_SYMBOL(driver, RegistryReset);
        map = ZERLO_SYMBOL(driver, RegistryMap);
        remap = ZERLO_SYMBOL(driver, RegistryRemap);
        releaseAll = ZERLO_SYMBOL(driver, RegistryReleaseAll);
        count = ZERLO_SYMBOL(driver, RegistryCount);
        refusal = ZERLO_SYMBOL(driver, RegistryRefusal);
        reset(window);
    }

    std::string list()
    {
        char buffer[4096];
        ReportText report;
        ZERLO_SYMBOL(driver, ReportBegin)(&report, buffer, sizeof buffer);
        ZERLO_SYMBOL(driver, RegistryList)(&report);
        return buffer;
    }

    Driver driver{zhost::BareProfile()};
    PUCHAR window = nullptr;
    decltype(&RegistryReset) reset = nullptr;
    decltype(&RegistryMap) map = nullptr;
    decltype(&RegistryRemap) remap = nullptr;
    decltype(&RegistryReleaseAll) releaseAll = nullptr;
    LONG* count = nullptr;
    ULONG* refusal = nullptr;
};

TEST_F(Registry, RangeReachingPastFourGigabytesIsNeitherTakenForTheWindowNorMapped)
{
    // 0xFFFFFFF0 + 36 wraps to 0x14 in 32 bits, which would "fit" the window.
    const uint64_t calls = driver.kernel->probe().mapCalls();
    EXPECT_EQ(map(0xFFFFFFF0, 36), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_ABOVE_4GB);
    const PUCHAR header = map(0xFFFFF000, 36);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(remap(0xFFFFF000, 36, 0x1001), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_ABOVE_4GB);
    EXPECT_NE(remap(0xFFFFF000, 36, 0x1000), nullptr); // ends at 4 GiB exactly
    EXPECT_EQ(driver.kernel->probe().mapCalls(), calls + 2);
}

TEST_F(Registry, BytesMappedBetweenResetsStopAtTheLimitWithRemapsCountedAgain)
{
    const ULONG table = REGISTRY_MAP_LIMIT / 4;
    for (ULONG i = 0; i < 3; ++i)
        ASSERT_NE(remap(0x1000000 + i * table, 36, table), nullptr);
    ASSERT_NE(map(0x8000000, 36), nullptr);
    EXPECT_EQ(remap(0x8000000, 36, table - 35), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_LIMIT);
    EXPECT_NE(remap(0x8000000, 36, table - 36), nullptr); // exactly at the limit
    EXPECT_EQ(map(0x9000000, 1), nullptr);
    releaseAll();
    reset(window);
    EXPECT_NE(map(0x9000000, 1), nullptr);
}

TEST_F(Registry, FailedRemapLeavesTheHeaderRowServingItsRange)
{
    const PUCHAR header = map(0x1000000, 36);
    driver.kernel->probe().failMapCall(driver.kernel->probe().mapCalls() + 1);
    EXPECT_EQ(remap(0x1000000, 36, 500), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_UNMAPPABLE);
    EXPECT_EQ(map(0x1000000, 36), header);
    EXPECT_EQ(*count, 2);
    EXPECT_EQ(LiveRanges(driver), (std::vector<std::pair<uint32_t, uint32_t>>{{0xE0000, 0x20000}, {0x1000000, 36}}));
    // Rows before a reset are gone, though their bytes stay behind the count.
    releaseAll();
    reset(window);
    EXPECT_NE(remap(0x1000000, 36, 500), nullptr);
    EXPECT_EQ(LiveRanges(driver), (std::vector<std::pair<uint32_t, uint32_t>>{{0xE0000, 0x20000}, {0x1000000, 500}}));
}

TEST_F(Registry, HundredAndFirstRowIsRefused)
{
    for (ULONG i = 1; i < REGISTRY_CAPACITY; ++i)
        ASSERT_NE(map(0x1000000 + i * 0x1000, 36), nullptr);
    EXPECT_EQ(*count, REGISTRY_CAPACITY);
    const uint64_t calls = driver.kernel->probe().mapCalls();
    EXPECT_EQ(map(0x2000000, 36), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_FULL);
    EXPECT_EQ(driver.kernel->probe().mapCalls(), calls);
    EXPECT_EQ(*count, REGISTRY_CAPACITY);
    EXPECT_NE(map(0x1000000 + 5 * 0x1000 + 4, 16), nullptr); // still served from its row

    // The cause names the last refusal: a failed mapping after a refusal
    // for fullness is no longer "full", in a remap or a new survey.
    driver.kernel->probe().failMapCall(driver.kernel->probe().mapCalls() + 1);
    EXPECT_EQ(remap(0x1000000 + 0x1000, 36, 64), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_UNMAPPABLE);
    EXPECT_EQ(map(0x2000000, 36), nullptr);
    ASSERT_EQ(*refusal, REGISTRY_REFUSED_FULL);
    releaseAll();
    reset(window);
    driver.kernel->probe().failMapCall(driver.kernel->probe().mapCalls() + 1);
    EXPECT_EQ(map(0x2000000, 36), nullptr);
    EXPECT_EQ(*refusal, REGISTRY_REFUSED_UNMAPPABLE);
}

TEST_F(Registry, ListShowsTheWindowFirstUnlessNoneWasLent)
{
    EXPECT_EQ(list(), Mappings({{0xE0000, uint32_t(uintptr_t(window)), 0x20000}}));
    reset(nullptr);
    EXPECT_EQ(*count, 0);
    const PUCHAR own = map(0xF0000, 36);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(list(), Mappings({{0xF0000, uint32_t(uintptr_t(own)), 36}}));
    releaseAll();
}

} // namespace
} // namespace ztest
