// Surveys of the simulated notebook's ACPI tables, and the profiles that
// model firmware seen on real machines (tests/profiles/acpi).
#pragma once

#include "driver_fixture.h"

#include <string>
#include <vector>

namespace ztest {

inline nlohmann::json AcpiProfile(const std::string& name)
{
    return zhost::LoadProfileFile(std::string(ZERLO_TEST_PROFILES) + "/acpi/" + name + ".json");
}

inline std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

inline std::string AcpiReport(Driver& driver)
{
    return driver.text(IOCTL_GET_ACPI_REPORT, ZERLO_ACPI_REPORT_SIZE);
}

// The physical ranges mapped now, the BIOS window included.
inline std::vector<std::pair<uint32_t, uint32_t>> LiveRanges(Driver& driver)
{
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    for (const auto& mapping : driver.kernel->liveMappings()) {
        ranges.emplace_back(mapping.physicalAddress, mapping.length);
    }
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

} // namespace ztest
