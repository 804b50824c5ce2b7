// What a survey asks of the memory manager: the first search area, then one
// mapping for each table header that no earlier mapping holds and one for
// each table that outgrows its header's mapping. Nothing an earlier, still
// live mapping covers is mapped again.
#include "acpi_fixture.h"

#include <cstdio>
#include <map>

namespace ztest {
namespace {

struct MapCall {
    uint32_t physical;
    uint32_t length;
    std::string line;
};

struct SurveyCalls {
    std::vector<MapCall> maps;
    std::vector<MapCall> coveredMaps; // made while a live mapping held the whole range
};

// Runs one survey and replays its journal over the mappings live before it.
SurveyCalls Survey(Driver& driver)
{
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> live; // virtual -> physical, length
    for (const auto& mapping : driver.kernel->liveMappings()) {
        live[static_cast<uint32_t>(mapping.virtualAddress)] = {mapping.physicalAddress, mapping.length};
    }
    driver.kernel->clearJournal();
    AcpiReport(driver);

    SurveyCalls calls;
    for (const std::string& line : driver.kernel->journal()) {
        unsigned physical = 0, virtualAddress = 0;
        size_t length = 0;
        if (std::sscanf(line.c_str(), "MmMapIoSpace 0x%x %zu -> 0x%x", &physical, &length, &virtualAddress) == 3) {
            const MapCall call{physical, static_cast<uint32_t>(length), line};
            for (const auto& [at, range] : live) {
                if (physical >= range.first && uint64_t{physical} + length <= uint64_t{range.first} + range.second) {
                    calls.coveredMaps.push_back(call);
                    break;
                }
            }
            calls.maps.push_back(call);
            live[virtualAddress] = {physical, call.length};
        } else if (std::sscanf(line.c_str(), "MmUnmapIoSpace 0x%x %zu", &virtualAddress, &length) == 2) {
            live.erase(virtualAddress);
        } else {
            ADD_FAILURE() << "unexpected service call during a survey: " << line;
        }
    }
    return calls;
}

std::vector<std::string> CallLines(const std::vector<MapCall>& calls)
{
    std::vector<std::string> lines;
    for (const MapCall& call : calls)
        lines.push_back(call.line);
    return lines;
}

// Two for the first search area (the BIOS data area's EBDA segment word,
// then the area), then on the default notebook two for the XSDT and each of
// the eight tables outside the BIOS window, none for BOOT inside it. On the
// quirky firmware INNER lies inside BIG and is listed twice, BOOT lies in the
// BIOS window: none of them costs a call; BEYOND's header lies inside BIG
// but the table reaches past it: one call at its full length. The same for
// every survey.
TEST(AcpiSurveyMappings, EachTableIsMappedByHeaderThenInFullUnlessAMappingHoldsIt)
{
    for (const auto& [profile, count] :
         std::vector<std::pair<nlohmann::json, size_t>>{{zhost::DefaultNotebookProfile(), 2u + 2u * 9u},
                                                        {AcpiProfile("v1_rsdt_quirks"), 2u + 2u + 2u + 2u + 1u}}) {
        Driver driver(profile);
        driver.startAndOpen();
        for (int survey = 0; survey < 2; ++survey) {
            const SurveyCalls calls = Survey(driver);
            EXPECT_EQ(calls.maps.size(), count) << testing::PrintToString(CallLines(calls.maps));
            EXPECT_EQ(CallLines(calls.coveredMaps), std::vector<std::string>{});
        }
    }
}

} // namespace
} // namespace ztest
