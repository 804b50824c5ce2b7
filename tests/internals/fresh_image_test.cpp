// A second load of the driver starts from its own zero state, read by
// symbol: no chip, entry point, table mapping or registry row is left over.
#include "driver_fixture.h"

#include "fan/sio.h"
#include "firmware/mapping_registry.h"
#include "firmware/smbios_access.h"

namespace ztest {
namespace {

TEST(Lifecycle, EveryLoadStartsFromAFreshImage)
{
    Driver driver;
    driver.startAndOpen();
    driver.value(IOCTL_SMM_SET_FAN_STATE, 1, 2);
    ASSERT_EQ(driver.value(IOCTL_SIO_DETECT), 0xFFFFFFFFu);
    driver.text(IOCTL_GET_SMBIOS_REPORT, ZERLO_SMBIOS_REPORT_SIZE);
    driver.text(IOCTL_GET_ACPI_REPORT, ZERLO_ACPI_REPORT_SIZE);
    ASSERT_NE(ZERLO_SYMBOL(driver, SmbiosState)->entryPoint, nullptr);
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    driver.startAndOpen();
    // The driver's own state is new: no chip, entry point or table mapping
    // found, no registry row; the machine's (fan 1 high) is not.
    EXPECT_EQ(*ZERLO_SYMBOL(driver, SioBaseAddress), 0u);
    const SmbiosStateRecord& smbios = *ZERLO_SYMBOL(driver, SmbiosState);
    EXPECT_EQ(smbios.entryPoint, nullptr);
    EXPECT_EQ(smbios.tableBase, nullptr);
    EXPECT_EQ(smbios.ownTableMapped, 0u);
    EXPECT_EQ(*ZERLO_SYMBOL(driver, RegistryCount), 0);
    EXPECT_EQ(driver.value(IOCTL_SMM_GET_FAN_STATE, 1), 2u);
}

} // namespace
} // namespace ztest
