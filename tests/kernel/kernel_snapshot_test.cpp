// A kernel snapshot is complete: after a restore the kernel, its machine and
// the driver are where they were, and the same requests get the same
// answers at the same cost. zerlo.sys is snapshotted loaded, with its device
// open; the host build, whose image the kernel cannot copy, unloaded.
#include "driver_fixture.h"
#include "kernel/driver_image.h"

namespace ztest {
namespace {

struct Answers {
    std::vector<zhost::IoctlOutcome> outcomes;
    std::vector<uint64_t> instructions;
    std::vector<std::string> journal;
    std::vector<zhost::PortAccess> ports;
    bool operator==(const Answers&) const = default;
};

// Requests that change the fans, the Super-I/O chip and the driver's own
// caches, and map firmware.
Answers Requests(Driver& driver)
{
    const std::pair<uint32_t, std::vector<uint8_t>> requests[] = {
        {IOCTL_SMM_SET_FAN_STATE, Words(1, 2)},  {IOCTL_SIO_DETECT, {}},
        {IOCTL_SIO_SET_FAN_LEVEL, Words(0, 12)}, {IOCTL_GET_CPU_SPEED, {}},
        {IOCTL_GET_SMBIOS_REPORT, {}},           {IOCTL_GET_ACPI_REPORT, {}}};
    Answers run;
    for (const auto& [code, input] : requests) {
        run.outcomes.push_back(driver.ioctl(code, input, ZerloFindRequest(code)->minimumOutput));
        EXPECT_EQ(run.outcomes.back().status, STATUS_SUCCESS) << std::hex << code;
        run.instructions.push_back(driver.kernel->lastCall().instructions);
    }
    run.journal = driver.kernel->probe().journal();
    run.ports = driver.machine->portLog();
    return run;
}

TEST(KernelSnapshot, ARestoreGivesBackEverythingAndTheSameAnswers)
{
    Driver driver;
    auto snapshot = driver.kernel->probe().snapshot();
    driver.startAndOpen();
    const bool loaded = driver.kernel->emulated();
    if (loaded) snapshot = driver.kernel->probe().snapshot();

    const Answers first = Requests(driver);
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_FALSE(driver.kernel->probe().matches(*snapshot));
    driver.kernel->probe().restore(*snapshot);
    EXPECT_TRUE(driver.kernel->probe().matches(*snapshot));
    if (!loaded) driver.startAndOpen();
    EXPECT_EQ(Requests(driver), first);
}

} // namespace
} // namespace ztest
