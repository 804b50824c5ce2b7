// Start, open/close and unload: messages, order of acquisition and release,
// and failures of the kernel's services.
#include "driver_fixture.h"

#include <tuple>

namespace ztest {
namespace {

using Log = std::vector<std::string>;

TEST(Lifecycle, StartAcquiresAndUnloadReleasesEverythingInOrder)
{
    Driver driver;
    driver.startAndOpen();
    EXPECT_EQ(driver.kernel->probe().journal(), (Log{"MmMapIoSpace 0x000e0000 131072 -> 0x20001000",
                                                     "IoCreateDevice \\Device\\Zerlo type 0x22 characteristics 0x100",
                                                     "IoCreateSymbolicLink \\DosDevices\\ZerloDev \\Device\\Zerlo"}));
    driver.kernel->probe().clearJournal();
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_EQ(driver.kernel->probe().journal(),
              (Log{"MmUnmapIoSpace 0x20001000 131072", "IoDeleteSymbolicLink \\DosDevices\\ZerloDev",
                   "IoDeleteDevice \\Device\\Zerlo"}));
    EXPECT_EQ(driver.kernel->probe().debugLog(),
              (Log{"Zerlo: DriverEntry successful\n", "Zerlo: Open / Close\n", "Zerlo: Open / Close\n",
                   "Zerlo: Entering unload function\n", "Zerlo: Link removed\n", "Zerlo: End of unload\n"}));
    EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
    EXPECT_TRUE(driver.kernel->probe().deviceNames().empty());
    EXPECT_TRUE(driver.kernel->probe().linkNames().empty());
}

TEST(Lifecycle, OnlyTheDeviceItselfOpensAndItsSecurityGuardsANameBelowIt)
{
    // The device admits a user for reading only; a name below it is refused
    // by its security for writing and by the driver otherwise.
    using zhost::Caller;
    constexpr uint32_t kRead = zhost::kAccessRead;
    constexpr uint32_t kReadWrite = zhost::kAccessRead | zhost::kAccessWrite;
    const std::tuple<Caller, const wchar_t*, uint32_t, NTSTATUS> cases[] = {
        {Caller::Administrator, ZERLO_LINK_NAME, kReadWrite, STATUS_SUCCESS},
        {Caller::User, ZERLO_LINK_NAME, kRead, STATUS_SUCCESS},
        {Caller::User, ZERLO_LINK_NAME, kReadWrite, STATUS_ACCESS_DENIED},
        {Caller::User, ZERLO_LINK_NAME L"\\anything", kReadWrite, STATUS_ACCESS_DENIED},
        {Caller::User, L"\\??\\ZerloDev\\anything", kRead, STATUS_OBJECT_NAME_NOT_FOUND},
        {Caller::Administrator, ZERLO_LINK_NAME L"\\anything", kReadWrite, STATUS_OBJECT_NAME_NOT_FOUND},
        {Caller::Administrator, L"\\Device\\Zerlo\\", kReadWrite, STATUS_OBJECT_NAME_NOT_FOUND}};
    Driver driver;
    ASSERT_EQ(driver.start(), STATUS_SUCCESS);
    Log log{"Zerlo: DriverEntry successful\n"};
    for (const auto& [caller, name, access, status] : cases) {
        SCOPED_TRACE(zhost::Narrow(name) + (caller == Caller::User ? " by a user" : " by an administrator"));
        driver.kernel->setCaller(caller);
        zhost::Handle handle = 0;
        EXPECT_EQ(driver.kernel->open(name, access, &handle), status);
        if (status != STATUS_ACCESS_DENIED) log.push_back("Zerlo: Open / Close\n");
        if (status == STATUS_SUCCESS) {
            driver.kernel->close(handle);
            log.push_back("Zerlo: Open / Close\n");
        }
    }
    EXPECT_EQ(driver.kernel->probe().debugLog(), log);
}

TEST(Lifecycle, FailedDeviceOrLinkCreationReturnsItsStatusAndLeavesNothing)
{
    const std::pair<zhost::KernelService, const char*> cases[] = {
        {zhost::KernelService::IoCreateDevice, "Zerlo: Can't create device object !\n"},
        {zhost::KernelService::IoCreateSymbolicLink, "Zerlo: Can't create link\n"}};
    for (const auto& [service, message] : cases) {
        SCOPED_TRACE(message);
        Driver driver;
        driver.kernel->probe().failService(service);
        EXPECT_EQ(driver.start(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(driver.kernel->probe().debugLog(), Log{message});
        EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
        EXPECT_TRUE(driver.kernel->probe().deviceNames().empty());
        EXPECT_TRUE(driver.kernel->probe().linkNames().empty());
        EXPECT_FALSE(driver.kernel->loaded());

        // The next start, with the fault gone, works from a fresh image.
        driver.kernel->probe().clearFaults();
        EXPECT_EQ(driver.start(), STATUS_SUCCESS);
    }
}

TEST(Lifecycle, FailedLinkRemovalLeavesTheDevice)
{
    Driver driver;
    ASSERT_EQ(driver.start(), STATUS_SUCCESS);
    driver.kernel->probe().failService(zhost::KernelService::IoDeleteSymbolicLink);
    driver.kernel->unload();
    EXPECT_EQ(driver.kernel->probe().debugLog(),
              (Log{"Zerlo: DriverEntry successful\n", "Zerlo: Entering unload function\n", "Zerlo: Can't remove link\n",
                   "Zerlo: End of unload\n"}));
    EXPECT_EQ(driver.kernel->probe().deviceNames(), (std::vector<std::wstring>{L"\\Device\\Zerlo"}));
    EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
}

} // namespace
} // namespace ztest
