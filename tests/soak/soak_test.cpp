// A long life on one loaded driver: 100,000 mixed requests, among them ACPI
// surveys and SMBIOS reports. Every survey must leave the same number of
// live mappings as the first one did (the registry releases the previous
// survey's rows), and the process's resident memory must stay flat once the
// host's own bounded logs have reached their size. Prints its figures.
#include "driver_fixture.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace ztest {
namespace {

constexpr int kRequests = 100000;
constexpr int kWarmUp = 2000;
// Allocator and page-cache noise stays well below this; a leak of one small
// block per survey (10,000 surveys) does not.
constexpr long kAllowedGrowthKiB = 4096;

long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Soak, HundredThousandRequestsKeepMappingsAndMemoryFlat)
{
    Driver driver;
    driver.startAndOpen();
    ASSERT_EQ(driver.value(IOCTL_SIO_DETECT), ZERLO_TRUE);
    const size_t atStart = driver.kernel->probe().liveMappings().size();

    int surveys = 0;
    int reports = 0;
    size_t afterSurvey = 0;
    int mappingMismatches = 0;
    int failedRequests = 0;
    long baselineKiB = 0;
    const auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < kRequests; ++i) {
        zhost::IoctlOutcome outcome;
        switch (i % 10) {
        case 0:
            outcome = driver.ioctl(IOCTL_GET_ACPI_REPORT, {}, ZERLO_ACPI_REPORT_SIZE);
            ++surveys;
            if (surveys == 1) afterSurvey = driver.kernel->probe().liveMappings().size();
            if (driver.kernel->probe().liveMappings().size() != afterSurvey) ++mappingMismatches;
            break;
        case 5:
            outcome = driver.ioctl(IOCTL_GET_SMBIOS_REPORT, {}, ZERLO_SMBIOS_REPORT_SIZE);
            ++reports;
            break;
        case 1: outcome = driver.ioctl(IOCTL_SMM_GET_FAN_SPEED, Words(i & 1), 4); break;
        case 2: outcome = driver.ioctl(IOCTL_SMM_GET_TEMPERATURE, Words(i % 4), 4); break;
        case 3: outcome = driver.ioctl(IOCTL_SIO_SET_FAN_LEVEL, Words(i & 1, (i / 10) % 64), 4); break;
        case 4: outcome = driver.ioctl(IOCTL_SIO_GET_FAN_LEVEL, Words(i & 1), 4); break;
        case 6: outcome = driver.ioctl(IOCTL_GET_CPU_SPEED, {}, ZERLO_CPU_SPEED_TEXT_SIZE); break;
        case 7: outcome = driver.ioctl(IOCTL_SMM_SET_FAN_STATE, Words(i & 1, (i / 10) % 3), 4); break;
        case 8: outcome = driver.ioctl(IOCTL_SIO_DETECT, {}, 4); break;
        default: outcome = driver.ioctl(IOCTL_GET_VERSION, {}, 8); break;
        }
        if (outcome.status != STATUS_SUCCESS) ++failedRequests;
        // The host's port log and journal are bounded but large; emptied
        // often, they stop growing early and what is left is the driver's.
        if (i % 1000 == 999) {
            driver.machine->clearPortLog();
            driver.kernel->probe().clearJournal();
        }
        if (i == kWarmUp) baselineKiB = ResidentKiB();
    }
    const long endKiB = ResidentKiB();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const size_t atEnd = driver.kernel->probe().liveMappings().size();

    std::printf("soak: %d requests (%d ACPI surveys, %d SMBIOS reports) in %.1f s\n", kRequests, surveys, reports,
                seconds);
    std::printf("soak: live mappings at start %zu, after every survey %zu, at the end %zu\n", atStart, afterSurvey,
                atEnd);
    std::printf("soak: resident memory after %d requests %ld KiB, at the end %ld KiB (growth %ld KiB)\n", kWarmUp,
                baselineKiB, endKiB, endKiB - baselineKiB);

    EXPECT_EQ(failedRequests, 0);
    EXPECT_EQ(mappingMismatches, 0);
    EXPECT_GT(afterSurvey, atStart) << "a survey keeps its table mappings until the next one";
    EXPECT_EQ(atEnd, afterSurvey);
    EXPECT_LT(endKiB - baselineKiB, kAllowedGrowthKiB);

    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
}

} // namespace
} // namespace ztest
