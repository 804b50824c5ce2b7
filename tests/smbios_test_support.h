// Machines with hand-made SMBIOS tables, and the driver's SMBIOS state, for
// the SMBIOS tests.
#pragma once

#include "driver_fixture.h"

#include "firmware/smbios_access.h"
#include "frame/driver.h"

namespace ztest {

using nlohmann::json;

// An SMBIOS section with the entry point at physical 0xF1000 and the table
// at 0xF2000 unless `extra` says otherwise.
inline json SmbiosSection(const std::vector<json>& structures, const json& extra = json::object())
{
    json section = {{"entry_point_address", "0xF1000"}, {"table_address", "0xF2000"}, {"structures", json(structures)}};
    section.update(extra);
    return section;
}

inline json SmbiosMachine(const json& section, const json& memory = json())
{
    json profile = {{"name", "smbios test"}, {"smbios", section}};
    if (!memory.is_null()) profile["memory"] = memory;
    return profile;
}

class SmbiosDriver : public Driver {
  public:
    explicit SmbiosDriver(const json& profile) : Driver(profile) {}
    std::string report() { return text(IOCTL_GET_SMBIOS_REPORT, ZERLO_SMBIOS_REPORT_SIZE); }
    std::string cpuSpeed() { return text(IOCTL_GET_CPU_SPEED, ZERLO_CPU_SPEED_TEXT_SIZE); }
    SmbiosStateRecord& state() { return *ZERLO_SYMBOL(*this, SmbiosState); }
    PUCHAR window() { return *ZERLO_SYMBOL(*this, BiosWindow); }
};

// A BIOS structure whose strings every report shows.
inline const json kBios = {{"type", 0}, {"vendor", "Vendor"}, {"version", "V1"}, {"release_date", "01/02/2003"}};
inline const std::string kBiosLines = Lines({"BIOS vendor: Vendor", "BIOS version: V1", "BIOS date: 01/02/2003"});
inline const std::string kNoSmbios = "*** Error: No SMBIOS found ***";

// A report case: the machine's structures and changes, and its whole report.
struct Case {
    const char* name;
    std::vector<json> structures;
    json extra;
    std::string report;
    json memory = json(); // patches, as a profile's "memory" section
};

// Each case's whole report, the same on a second request, and no CPU speed.
inline void ExpectReports(std::initializer_list<Case> cases)
{
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SmbiosDriver driver(
            SmbiosMachine(SmbiosSection(c.structures, c.extra.is_null() ? json::object() : c.extra), c.memory));
        driver.startAndOpen();
        EXPECT_EQ(driver.report(), c.report);
        EXPECT_EQ(driver.cpuSpeed(), "---");
        EXPECT_EQ(driver.report(), c.report);
    }
}

} // namespace ztest
