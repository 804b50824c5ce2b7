// The survey across requests and faults: failed mappings, a full registry, a
// full reply, surveys in a row and unload.
#include "acpi_fixture.h"

namespace ztest {
namespace {

const std::string kSearchUpToRsdt =
    EbdaSearch(0x20024000) + kBiosSearch + "Sig found at VA 0x2001f020\r\n" + Root("RSDT", 0x20026000, 0x07fe0000);

TEST(AcpiSurveyLimits, HundredAndFirstMappingIsRefusedWithAnErrorLine)
{
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (uint32_t i = 0; i < 120; ++i)
        entries.emplace_back(0x10000000 + i * 0x1000, 52);
    Driver driver(zhost::BareProfile());
    zhost::PlaceAcpiFirmware(*driver.machine->memory(), RsdtListing(entries));
    driver.startAndOpen();

    // Rows: the window, the RSDT and 98 tables.
    std::string expected = kSearchUpToRsdt + Table("RSDT", 36 + 4 * 120, 0x20026000, 0x20028000, 0x07fe0000);
    std::vector<Row> rows = {kWindowRow, {0x07fe0000, 0x20028000, 516}};
    for (uint32_t i = 0; i < 120; ++i) {
        const unsigned header = 0x2002A000 + i * 0x4000;
        expected += i < 98
                        ? Entry("RSDT", entries[i].first, "OEMT", 52, header, header + 0x2000)
                        : Found(entries[i].first) +
                              Fmt("*** ERROR: Mapping registry full, PA 0x%08x not mapped ***\r\n", entries[i].first);
        if (i < 98) rows.push_back({entries[i].first, header + 0x2000, 52});
    }
    EXPECT_EQ(AcpiReport(driver), expected + Mappings(rows));
    EXPECT_EQ(driver.kernel->probe().liveMappings().size(), 100u);
}

TEST(AcpiSurveyLimits, OverlongSurveyIsCutAtAWholeLineAndTheWalkStops)
{
    // 400 distinct tables: the first 200 lie in the BIOS window, need no
    // mapping and outgrow the reply alone; a walk that went on after the cut
    // would map the 200 above.
    std::vector<std::pair<uint32_t, uint32_t>> entries;
    for (uint32_t i = 0; i < 400; ++i)
        entries.emplace_back(i < 200 ? 0xE1000 + i * 0x40 : 0x10000000 + (i - 200) * 0x1000, 52);
    Driver driver(zhost::BareProfile());
    zhost::PlaceAcpiFirmware(*driver.machine->memory(), RsdtListing(entries));
    driver.startAndOpen();
    const auto outcome = driver.ioctl(IOCTL_GET_ACPI_REPORT, {}, ZERLO_ACPI_REPORT_SIZE);
    ASSERT_EQ(outcome.information, ZERLO_ACPI_REPORT_SIZE);

    std::string whole = kSearchUpToRsdt + Table("RSDT", 36 + 4 * 400, 0x20026000, 0x20028000, 0x07fe0000);
    for (uint32_t i = 0; i < 200; ++i)
        whole += Entry("RSDT", entries[i].first, "OEMT", 52, 0x20002000 + i * 0x40, 0x20002000 + i * 0x40);
    ASSERT_GT(whole.size(), ZERLO_ACPI_REPORT_SIZE);
    const std::string marker = "*** Report truncated ***\r\n";
    size_t keep = ZERLO_ACPI_REPORT_SIZE - 1 - marker.size();
    while (whole[keep - 1] != '\n')
        --keep;
    EXPECT_EQ(Text(outcome.reply), whole.substr(0, keep) + marker);
    EXPECT_EQ(LiveRanges(driver), (std::vector<std::pair<uint32_t, uint32_t>>{{0xE0000, 0x20000}, {0x07FE0000, 1636}}));
}

TEST(AcpiSurveyFaults, NullBiosWindowIsNotSearched)
{
    Driver driver(AcpiProfile("rsdt_length_36"));
    driver.kernel->probe().failMapCall(1); // the window, at start
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), EbdaSearch(0x20003000) + "Searching BIOS area for signature...\r\n" +
                                      "*** ERROR: BIOS area not mapped, not searched ***\r\n" + kNoAcpi);
}

TEST(AcpiSurveyFaults, NullBiosWindowGivesTablesThereMappingsOfTheirOwn)
{
    Driver driver(AcpiProfile("v1_rsdt_quirks"));
    driver.kernel->probe().failMapCall(1);
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_NE(text.find(Entry("RSDT", 0x000fe300, "BOOT", 40, 0x20013300, 0x20015300, "ZERLO ", "BOOTFLAG")),
              std::string::npos)
        << text;
    EXPECT_EQ(text.substr(text.find("\r\nPA->VA")), Mappings({{0x0fff3a0c, 0x20007a0c, 60},
                                                              {0x0fff3b00, 0x2000bb00, 116},
                                                              {0x0fff4000, 0x2000f000, 1024},
                                                              {0x0fff43c0, 0x200113c0, 128},
                                                              {0x000fe300, 0x20015300, 40}}));
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
}

// The map calls at start and in a survey: the window, the EBDA pointer, the
// first area. Either failure leaves the search going on.
TEST(AcpiSurveyFaults, FailedSearchAreaMappingsAreReportedAndTheSearchGoesOn)
{
    for (const auto& [call, start] : std::vector<std::pair<uint64_t, std::string>>{
             {2, "Searching EBDA for signature...\r\n*** ERROR: Can't map PA 0x0000040e, 2 Bytes ***\r\n"
                 "Searching VA 0x20022000, 1024 Bytes...\r\n" +
                     kBiosSearch + "Sig found at VA 0x20017a10\r\n"},
             {3, "Searching EBDA for signature...\r\n*** ERROR: Can't map PA 0x0009fc00, 1024 Bytes ***\r\n" +
                     kBiosSearch + "Sig found at VA 0x20017a10\r\nACPI V2 BIOS detected\r\n"},
             // The root's full mapping: its header is described, nothing walked.
             {5, EbdaSearch(0x20024c00) + kBiosSearch + "Sig found at VA 0x20017a10\r\n" +
                     Root("XSDT", 0x20026080, 0x1fff0080) + Header("XSDT", 108, 0x20026080) +
                     "*** ERROR: Can't map PA 0x1fff0080, 108 Bytes ***\r\n\r\nPA->VA Mappings:\r\n"}}) {
        Driver driver;
        driver.kernel->probe().failMapCall(call);
        driver.startAndOpen();
        EXPECT_EQ(AcpiReport(driver).rfind(start, 0), 0u) << call;
    }
}

} // namespace
} // namespace ztest
