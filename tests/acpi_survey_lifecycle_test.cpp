// The survey across requests and faults: failed mappings, a full registry, a
// full reply, surveys in a row and unload.
#include "acpi_fixture.h"

#include "machine/acpi_builder.h"

#include <cstdio>

namespace ztest {
namespace {

std::string Format(const char* format, unsigned a, unsigned b = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// An ACPI 1.0 firmware on a bare machine whose RSDT lists `entries`.
nlohmann::json RsdtListing(const std::vector<uint32_t>& entries)
{
    nlohmann::json tables = nlohmann::json::array();
    nlohmann::json listed = nlohmann::json::array();
    for (uint32_t address : entries)
        listed.push_back(Format("0x%x", address));
    tables.push_back({{"signature", "RSDT"}, {"address", "0x0FFF0000"}, {"entries", listed}});
    std::vector<uint32_t> unique(entries);
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    for (uint32_t address : unique) {
        tables.push_back({{"name", Format("T%x", address)}, {"signature", "OEMT"}, {"address", address}});
    }
    return {{"acpi", {{"rsdp", {{{"address", "0xF0000"}, {"revision", 0}, {"rsdt", "RSDT"}}}}, {"tables", tables}}}};
}

const std::string kSearchUpToRsdt = Lines({
    "Searching EBDA for signature...",
    "Searching VA 0x20024000, 1024 Bytes...",
    "Searching BIOS area for signature...",
    "Searching VA 0x20001000, 131072 Bytes...",
    "Sig found at VA 0x20011000",
    "ACPI V1 BIOS detected",
    "RSDT @ VA 0x20026000 (PA 0x0fff0000)",
    "Analyzing RSDT...",
});

std::string Described(const char* signature, unsigned length, unsigned from, unsigned to, unsigned physical)
{
    return std::string("  Remapping '") + signature + "', " + std::to_string(length) +
           Format(" Bytes from VA 0x%08x\r\n", from) + "  OEMID:'ZERLO '\r\n  OEM Table ID:'ALVISO  '\r\n" +
           Format("  Table remapped to VA 0x%08x (PA 0x%08x)\r\n", to, physical);
}

TEST(AcpiSurveyLimits, HundredAndFirstMappingIsRefusedWithAnErrorLine)
{
    std::vector<uint32_t> entries;
    for (uint32_t i = 0; i < 120; ++i)
        entries.push_back(0x10000000 + i * 0x1000);
    Driver driver(RsdtListing(entries));
    driver.startAndOpen();

    // Rows: the window, the RSDT and 98 tables.
    std::string expected = kSearchUpToRsdt + Described("RSDT", 36 + 4 * 120, 0x20026000, 0x20028000, 0x0fff0000);
    std::string list = "\r\nPA->VA Mappings:\r\nPA 0x000e0000 -> VA 0x20001000 (131072 Bytes)\r\n"
                       "PA 0x0fff0000 -> VA 0x20028000 (516 Bytes)\r\n";
    for (uint32_t i = 0; i < 120; ++i) {
        expected += Format("Table found at PA 0x%08x...\r\n", entries[i]);
        if (i < 98) {
            const unsigned header = 0x2002A000 + i * 0x4000;
            expected += Described("OEMT", 52, header, header + 0x2000, entries[i]);
            list += Format("PA 0x%08x -> VA 0x%08x (52 Bytes)\r\n", entries[i], header + 0x2000);
        } else {
            expected += Format("*** ERROR: Mapping registry full, PA 0x%08x not mapped ***\r\n", entries[i]);
        }
    }
    EXPECT_EQ(AcpiReport(driver), expected + list);
    EXPECT_EQ(driver.kernel->liveMappings().size(), 100u);
}

TEST(AcpiSurveyLimits, OverlongSurveyIsCutAtAWholeLineInsideTheReply)
{
    // 400 entries naming one table: far more text than the reply holds.
    Driver driver(RsdtListing(std::vector<uint32_t>(400, 0x10000000)));
    driver.startAndOpen();
    const auto outcome = driver.ioctl(IOCTL_GET_ACPI_REPORT, {}, ZERLO_ACPI_REPORT_SIZE);
    ASSERT_EQ(outcome.information, ZERLO_ACPI_REPORT_SIZE);
    const std::string text = Text(outcome.reply);

    std::string whole = kSearchUpToRsdt + Described("RSDT", 36 + 4 * 400, 0x20026000, 0x20028000, 0x0fff0000);
    whole += "Table found at PA 0x10000000...\r\n" + Described("OEMT", 52, 0x2002a000, 0x2002c000, 0x10000000);
    while (whole.size() < 2 * ZERLO_ACPI_REPORT_SIZE) {
        whole += "Table found at PA 0x10000000...\r\n" + Described("OEMT", 52, 0x2002c000, 0x2002c000, 0x10000000);
    }
    const std::string marker = "*** Report truncated ***\r\n";
    size_t keep = ZERLO_ACPI_REPORT_SIZE - 1 - marker.size();
    while (whole[keep - 1] != '\n')
        --keep;
    EXPECT_EQ(text, whole.substr(0, keep) + marker);
    // The walk stopped with the text: nothing beyond the one table was mapped.
    EXPECT_EQ(LiveRanges(driver),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0xE0000, 0x20000}, {0x0FFF0000, 1636}, {0x10000000, 52}}));
}

TEST(AcpiSurveyFaults, NullBiosWindowIsNotSearched)
{
    Driver driver(AcpiProfile("rsdt_length_36"));
    driver.kernel->failMapCall(1); // the window, at start
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20003000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "*** ERROR: BIOS area not mapped, not searched ***",
                                      "*** ERROR: No ACPI BIOS found ***",
                                  }));
}

TEST(AcpiSurveyFaults, NullBiosWindowGivesTablesThereMappingsOfTheirOwn)
{
    Driver driver(AcpiProfile("v1_rsdt_quirks"));
    driver.kernel->failMapCall(1);
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_NE(text.find(Lines({
                  "Table found at PA 0x000fe300...",
                  "  Remapping 'BOOT', 40 Bytes from VA 0x20013300",
                  "  OEMID:'ZERLO '",
                  "  OEM Table ID:'BOOTFLAG'",
                  "  Table remapped to VA 0x20015300 (PA 0x000fe300)",
              })),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.find("\r\nPA->VA")), Lines({
                                                        "",
                                                        "PA->VA Mappings:",
                                                        "PA 0x0fff3a0c -> VA 0x20007a0c (60 Bytes)",
                                                        "PA 0x0fff3b00 -> VA 0x2000bb00 (116 Bytes)",
                                                        "PA 0x0fff4000 -> VA 0x2000f000 (1024 Bytes)",
                                                        "PA 0x0fff43c0 -> VA 0x200113c0 (128 Bytes)",
                                                        "PA 0x000fe300 -> VA 0x20015300 (40 Bytes)",
                                                    }));
}

TEST(AcpiSurveyFaults, FailedFirstAreaMappingGoesOnToTheBiosArea)
{
    Driver driver;
    driver.kernel->failMapCall(3); // window, EBDA pointer, first area
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver).rfind(Lines({
                                           "Searching EBDA for signature...",
                                           "*** ERROR: Can't map PA 0x0009fc00, 1024 Bytes ***",
                                           "Searching BIOS area for signature...",
                                           "Searching VA 0x20001000, 131072 Bytes...",
                                           "Sig found at VA 0x20017a10",
                                           "ACPI V2 BIOS detected",
                                       }),
                                       0),
              0u);
}

TEST(AcpiSurveyFaults, FailedEbdaPointerMappingSearchesPhysicalZero)
{
    Driver driver;
    driver.kernel->failMapCall(2);
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver).rfind(Lines({
                                           "Searching EBDA for signature...",
                                           "*** ERROR: Can't map PA 0x0000040e, 2 Bytes ***",
                                           "Searching VA 0x20022000, 1024 Bytes...",
                                           "Searching BIOS area for signature...",
                                       }),
                                       0),
              0u);
}

TEST(AcpiSurveyFaults, FailedTableMappingsAreReportedAndTheWalkGoesOn)
{
    Driver driver;
    // Calls: window, EBDA pointer, first area, XSDT header and full, FACP
    // header and full, APIC header (8), HPET header, HPET full (10).
    driver.kernel->failMapCall(8);
    driver.kernel->failMapCall(10);
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_NE(text.find(Lines({
                  "Table found at PA 0x1fff0200 ...",
                  "*** ERROR: Can't map PA 0x1fff0200, 36 Bytes ***",
                  "Table found at PA 0x1fff0260 ...",
                  "  Remapping 'HPET', 56 Bytes from VA 0x2002e260",
                  "  OEMID:'ZERLO '",
                  "  OEM Table ID:'ALVISO  '",
                  "*** ERROR: Can't map PA 0x1fff0260, 56 Bytes ***",
                  "Table found at PA 0x1fff02a0 ...",
                  "  Remapping 'MCFG', 60 Bytes from VA 0x200302a0",
              })),
              std::string::npos)
        << text;
    // The HPET keeps its header mapping, which is listed and released later.
    EXPECT_NE(text.find("PA 0x1fff0260 -> VA 0x2002e260 (36 Bytes)\r\n"), std::string::npos);
    EXPECT_EQ(text.find("PA 0x1fff0200 ->"), std::string::npos);
}

// Mapping addresses as the mapping list gives them.
std::vector<zhost::LiveMapping> ListedMappings(const std::string& text)
{
    std::vector<zhost::LiveMapping> listed;
    size_t at = text.find("PA->VA Mappings:");
    unsigned physical, virtualAddress, length;
    while ((at = text.find("PA 0x", at + 1)) != std::string::npos) {
        if (std::sscanf(text.c_str() + at, "PA 0x%x -> VA 0x%x (%u Bytes)", &physical, &virtualAddress, &length) == 3) {
            listed.push_back({virtualAddress, physical, length});
        }
    }
    return listed;
}

TEST(AcpiSurveySequence, SecondSurveyLeavesExactlyItsOwnMappings)
{
    Driver driver;
    driver.startAndOpen();
    const std::string first = AcpiReport(driver);
    const std::string second = AcpiReport(driver);
    EXPECT_EQ(ListedMappings(first).size(), ListedMappings(second).size());
    const auto listed = ListedMappings(second);
    const auto live = driver.kernel->liveMappings();
    ASSERT_EQ(listed.size(), live.size());
    for (const auto& mapping : live) {
        EXPECT_TRUE(std::any_of(listed.begin(), listed.end(),
                                [&](const zhost::LiveMapping& row) {
                                    return row.virtualAddress == mapping.virtualAddress &&
                                           row.physicalAddress == mapping.physicalAddress &&
                                           row.length == mapping.length;
                                }))
            << std::hex << mapping.physicalAddress;
    }
    // None of the first survey's own mappings is left.
    for (const auto& row : ListedMappings(first)) {
        if (row.physicalAddress == 0xE0000) continue;
        EXPECT_TRUE(std::none_of(
            live.begin(), live.end(),
            [&](const zhost::LiveMapping& mapping) { return mapping.virtualAddress == row.virtualAddress; }))
            << std::hex << row.physicalAddress;
    }
}

// A survey of ACPI 1.0 firmware records an RSDT; firmware found later with a
// revision-2 RSDP must have its XSDT walked, never the RSDT whose mapping
// the later survey released.
TEST(AcpiSurveySequence, RevisionTwoAfterRevisionZeroWalksTheXsdt)
{
    Driver driver(AcpiProfile("v1_rsdt_quirks"));
    driver.startAndOpen();
    EXPECT_NE(AcpiReport(driver).find("Analyzing RSDT...\r\n"), std::string::npos);

    zhost::AcpiFirmware firmware;
    zhost::AcpiTableLayout xsdt;
    xsdt.signature = xsdt.name = "XSDT";
    xsdt.address = 0x0FFF3C00;
    xsdt.entries.push_back({"", 0x0FFF3B00});
    firmware.tables.push_back(xsdt);
    zhost::AcpiRsdpLayout rsdp;
    rsdp.address = 0x9FC30;
    rsdp.rsdt = zhost::AcpiReference{"", 0x0FFF3A0C};
    rsdp.xsdt = zhost::AcpiReference{"XSDT", 0};
    firmware.rsdps.push_back(rsdp);
    zhost::PlaceAcpiFirmware(driver.machine->memory, firmware);

    const std::string second = AcpiReport(driver);
    EXPECT_EQ(second.substr(second.find("ACPI V")), Lines({
                                                        "ACPI V2 BIOS detected",
                                                        "XSDT @ VA 0x20038c00 (PA 0x0fff3c00)",
                                                        "Analyzing XSDT...",
                                                        "  Remapping 'XSDT', 44 Bytes from VA 0x20038c00",
                                                        "  OEMID:'ZERLO '",
                                                        "  OEM Table ID:'ALVISO  '",
                                                        "  Table remapped to VA 0x2003ac00 (PA 0x0fff3c00)",
                                                        "Table found at PA 0x0fff3b00 ...",
                                                        "  Remapping 'FACP', 116 Bytes from VA 0x2003cb00",
                                                        "  OEMID:'ZERLO '",
                                                        "  OEM Table ID:'ALVISO  '",
                                                        "  Table remapped to VA 0x2003eb00 (PA 0x0fff3b00)",
                                                        "",
                                                        "PA->VA Mappings:",
                                                        "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                                        "PA 0x0fff3c00 -> VA 0x2003ac00 (44 Bytes)",
                                                        "PA 0x0fff3b00 -> VA 0x2003eb00 (116 Bytes)",
                                                    }));
}

TEST(AcpiSurveySequence, UnloadLeavesNothingMapped)
{
    Driver driver;
    driver.startAndOpen();
    AcpiReport(driver);
    ASSERT_GT(driver.kernel->liveMappings().size(), 1u);
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->liveMappings().empty());
}

TEST(AcpiSurveySequence, UnloadWithoutASurveyReleasesOnlyTheWindow)
{
    Driver driver;
    driver.startAndOpen();
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->liveMappings().empty());
}

} // namespace
} // namespace ztest
