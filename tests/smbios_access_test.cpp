// Finding the entry point, locating the table, and the bounded structure
// length and string lookup, on firmware as real machines have it.
#include "smbios_test_support.h"

namespace ztest {
namespace {

const json kBios = {{"type", 0}, {"vendor", "Vendor"}, {"version", "V1"}, {"release_date", "01/02/2003"}};
const std::string kBiosLines = Lines({"BIOS vendor: Vendor", "BIOS version: V1", "BIOS date: 01/02/2003"});

// --- SmbiosFindEntryPoint ---

TEST(SmbiosFindEntryPoint, FindsAnEntryPointOnAFourByteBoundaryThatIsNoSixteenByteOne)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"entry_point_address", "0xF0454"}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.state().entryPoint, driver.window() + 0x10454);
}

TEST(SmbiosFindEntryPoint, PassesOverABadChecksumAndTakesTheLowerOfTwoValidEntryPoints)
{
    // The valid entry point at 0xF1000 is copied whole to 0xF3000 (pointing
    // at the same table) so two of them pass; a broken one lies before both.
    json section = SmbiosSection({kBios}, {{"quirks", {{"bad_checksum_decoy_at", "0xF0800"}}}});
    auto built = zhost::BuildMachine(SmbiosMachine(section));
    const std::vector<uint8_t> ep = built->memory.read(0xF1000, 0x1F);
    SmbiosDriver driver(SmbiosMachine(section));
    driver.machine->memory.write(0xF3000, ep);
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.state().entryPoint, driver.window() + 0x11000);
}

TEST(SmbiosFindEntryPoint, AnEntryPointLengthOfZeroPassesTheChecksum)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"entry_point_length", 0}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
}

TEST(SmbiosFindEntryPoint, EntryPointLengthsOf0x1FAnd0x20AreBothFound)
{
    for (int length : {0x1F, 0x20}) {
        SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"entry_point_length", length}})));
        driver.startAndOpen();
        EXPECT_EQ(driver.report(), kBiosLines) << length;
    }
}

TEST(SmbiosFindEntryPoint, ACandidateWhoseBytesWouldReachPastTheWindowIsNoMatch)
{
    // 0xFFFE0 leaves 0x20 bytes: enough for a 0x1F-byte entry point. At
    // 0xFFFF0 a 0x10-byte checksum would fit but the table fields would not;
    // at 0xFFFE0 a 0x40-byte checksum would run past the window's end.
    {
        SmbiosDriver fits(SmbiosMachine(SmbiosSection({kBios}, {{"entry_point_address", "0xFFFE0"}})));
        fits.startAndOpen();
        EXPECT_EQ(fits.report(), kBiosLines);
    }

    struct Case {
        const char* address;
        int length;
    };
    // The last case's checksum is valid over bytes that run past 0x100000.
    for (const Case c : {Case{"0xFFFF0", 0x10}, Case{"0xFFFF8", 0x10}, Case{"0xFFFFC", 0x10}, Case{"0xFFFE0", 0x40}}) {
        SmbiosDriver driver(SmbiosMachine(
            SmbiosSection({kBios}, {{"entry_point_address", c.address}, {"entry_point_length", c.length}})));
        driver.startAndOpen();
        EXPECT_EQ(driver.report(), "*** Error: No SMBIOS found ***") << c.address;
        EXPECT_EQ(driver.cpuSpeed(), "---");
    }
}

TEST(SmbiosFindEntryPoint, AnSmbios3EntryPointAloneIsNoSmbios)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"quirks", {{"sm3_only", true}}}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "*** Error: No SMBIOS found ***");
    EXPECT_EQ(driver.cpuSpeed(), "---");
    EXPECT_EQ(driver.state().entryPoint, nullptr);
}

TEST(SmbiosFindEntryPoint, AFailedBiosWindowIsReportedAndNothingIsSearched)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios})));
    driver.kernel->failMapCall(1);
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "*** Error: BIOS segment mapping failed ***");
    EXPECT_EQ(driver.cpuSpeed(), "---");
    EXPECT_EQ(driver.kernel->mapCalls(), 1u);
}

// --- SmbiosLocateTable ---

TEST(SmbiosLocateTable, AnEntryPointWithoutTheDmiAnchorFailsOnEveryRequestWithoutANewSearch)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"quirks", {{"no_dmi_anchor", true}}}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "*** Error: Pointer to DMI structures not found ***");
    const PUCHAR found = driver.state().entryPoint;
    EXPECT_EQ(found, driver.window() + 0x11000);
    EXPECT_EQ(driver.cpuSpeed(), "---");
    EXPECT_EQ(driver.report(), "*** Error: Pointer to DMI structures not found ***");
    EXPECT_EQ(driver.state().entryPoint, found);
}

TEST(SmbiosLocateTable, ATableInTheFSegmentIsReadThroughTheWindow)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.state().tableBase, driver.window() + 0x12000);
    EXPECT_EQ(driver.kernel->mapCalls(), 1u);
    EXPECT_EQ(driver.state().ownTableMapped, 0u);
}

TEST(SmbiosLocateTable, ATableBelowTheFSegmentOrOutsideTheWindowIsMappedByItselfOnce)
{
    for (const char* address : {"0xEE000", "0x1FF0000"}) {
        SCOPED_TRACE(address);
        SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", address}})));
        driver.startAndOpen();
        EXPECT_EQ(driver.report(), kBiosLines);
        EXPECT_EQ(driver.cpuSpeed(), "---");
        EXPECT_EQ(driver.report(), kBiosLines);
        EXPECT_EQ(driver.kernel->mapCalls(), 2u);
        const auto mappings = driver.kernel->liveMappings();
        ASSERT_EQ(mappings.size(), 2u);
        const uint32_t length = driver.state().tableLength;
        EXPECT_EQ(length, 0x14u + 22u); // formatted area, "Vendor", "V1", "01/02/2003" and the set's NUL
        EXPECT_TRUE(std::any_of(mappings.begin(), mappings.end(), [&](const zhost::LiveMapping& m) {
            return m.physicalAddress == std::stoul(address, nullptr, 0) && m.length == length;
        }));
        driver.kernel->unload();
        EXPECT_TRUE(driver.kernel->liveMappings().empty());
    }
}

TEST(SmbiosLocateTable, AFailedOwnMappingIsReportedNeverUsedAndTriedAgain)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", "0x200000"}})));
    driver.kernel->failMapCall(2);
    driver.kernel->failMapCall(3);
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "*** Error: SMBIOS table mapping failed ***");
    EXPECT_EQ(driver.cpuSpeed(), "---");
    EXPECT_EQ(driver.state().ownTableMapped, 0u);
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.kernel->mapCalls(), 4u);
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.kernel->mapCalls(), 4u);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->liveMappings().empty());
}

TEST(SmbiosLocateTable, UnloadAfterOnlyFailedOwnMappingsReleasesJustTheWindow)
{
    // A release of a mapping that was never made would stop the kernel.
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", "0x200000"}})));
    driver.kernel->failMapCall(2);
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "*** Error: SMBIOS table mapping failed ***");
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->liveMappings().empty());
    EXPECT_EQ(driver.kernel->debugLog().back(), "Zerlo: End of unload\n");
}

TEST(SmbiosLocateTable, ATableThatRunsPastTheWindowIsWalkedOnlyToTheWindowsEnd)
{
    // The table starts at 0xFFFC0 and claims 0x100 bytes. The BIOS
    // structure lies inside the window; the system structure's strings
    // cross 0x100000, so only its first string can be read, and the walk
    // ends there.
    const json system = {
        {"type", 1}, {"length", 8}, {"manufacturer", "Maker"}, {"product", "Product"}, {"serial", "Serial"}};
    const json bios = {{"type", 0}, {"length", 0x14}, {"vendor", "V"}, {"version", "R"}, {"release_date", "D"}};
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({bios, {{"type", 32}, {"length", 0x0F}}, system, kBios},
                                                    {{"table_address", "0xFFFC0"}, {"table_length", "0x100"}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), Lines({"BIOS vendor: V", "BIOS version: R", "BIOS date: D", "System manufacturer: Maker",
                                      "Product name: <missing string>", "Service tag: <missing string>"}));
    EXPECT_EQ(driver.state().tableEnd, driver.window() + 0x20000);
    EXPECT_EQ(driver.kernel->mapCalls(), 1u);
}

TEST(SmbiosLocateTable, ATableOfLengthZeroOutsideTheWindowIsEmptyAndNotMapped)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", "0x200000"}, {"table_length", 0}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "");
    EXPECT_EQ(driver.cpuSpeed(), "---");
    EXPECT_EQ(driver.kernel->mapCalls(), 1u);
}

// --- SmbiosStructureLength and the walk's bounds ---

TEST(SmbiosStructureLength, CountsTheFormattedAreaAndTheStringSet)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({{{"type", 0}, {"length", 0x14}}, kBios})));
    driver.startAndOpen();
    driver.report();
    auto* length = driver.symbol<ULONG(PUCHAR)>("SmbiosStructureLength");
    const PUCHAR first = driver.state().tableBase;
    EXPECT_EQ(length(first), 0x16u);
    EXPECT_EQ(length(first + 0x16), 0x14u + 22u);
}

TEST(SmbiosStructureLength, AStringSetWithoutItsFinalNulEndsAtTheTablesEnd)
{
    // Own-mapped table of exactly its length: a look past its end would hit
    // an unmapped or poisoned byte.
    const json battery = {
        {"type", 22}, {"length", 0x10}, {"location", "Bay"}, {"manufacturer", "Cells"}, {"device_name", "Pack"}};
    SmbiosDriver driver(SmbiosMachine(
        SmbiosSection({kBios, battery}, {{"table_address", "0x300000"}, {"quirks", {{"cut_final_nul", true}}}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines + Lines({"Battery manufacturer: Cells", "Battery device name: Pack",
                                                   "Battery location: Bay"}));
    auto* length = driver.symbol<ULONG(PUCHAR)>("SmbiosStructureLength");
    const PUCHAR battery_at = driver.state().tableBase + 0x14 + 22;
    EXPECT_EQ(length(battery_at), 0x10u + 4 + 6 + 5);
    EXPECT_EQ(battery_at + length(battery_at), driver.state().tableEnd);
}

TEST(SmbiosStructureLength, TheWalkEndsAtTheTablesEndWhenMoreStructuresAreAnnounced)
{
    // Behind the table lies what looks like another structure; the walk must
    // not take it because the table ends before it.
    const json section = SmbiosSection({kBios}, {{"quirks", {{"extra_announced", 5}}}});
    auto built = zhost::BuildMachine(SmbiosMachine(section));
    const std::vector<uint8_t> bios = built->memory.read(0xF2000, 0x14 + 22);
    std::string hex;
    for (uint8_t byte : bios) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", byte);
        hex += two;
    }
    SmbiosDriver driver(SmbiosMachine(section, json::array({{{"address", 0xF2000 + 0x14 + 22}, {"hex", hex}}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
}

TEST(SmbiosStructureLength, AFormattedLengthBelowFourEndsTheWalk)
{
    const json processor = {{"type", 4}, {"manufacturer", "Chips"}, {"current_speed", 1000}};
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios, {{"type", 0x80}, {"length", 3}}, processor})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.cpuSpeed(), "---");
}

TEST(SmbiosStructureLength, AFormattedAreaReachingPastTheTablesEndEndsTheWalk)
{
    const json processor = {{"type", 4}, {"manufacturer", "Chips"}, {"current_speed", 1000}};
    // The table length cuts the processor's formatted area.
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios, processor}, {{"table_length", 0x14 + 22 + 0x10}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.cpuSpeed(), "---");
}

TEST(SmbiosStructureLength, ATableOfZeroStructuresGivesTheEmptyReport)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "");
    EXPECT_EQ(driver.cpuSpeed(), "---");
}

// --- SmbiosGetString ---

TEST(SmbiosGetString, NumbersZeroOneTwoAndBeyondTheLastString)
{
    const json system = {{"type", 1}, {"manufacturer", "First"}, {"product", "Second"}};
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({system})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), Lines({"System manufacturer: First", "Product name: Second", "Service tag: --"}));
    auto* get = driver.symbol<const char*(PUCHAR, ULONG)>("SmbiosGetString");
    const PUCHAR structure = driver.state().tableBase;
    EXPECT_STREQ(get(structure, 0), "--");
    EXPECT_STREQ(get(structure, 1), "First");
    EXPECT_STREQ(get(structure, 2), "Second");
    EXPECT_EQ(get(structure, 3), nullptr);
    EXPECT_EQ(get(structure, 255), nullptr);
}

TEST(SmbiosGetString, AStructureWithoutStringsGivesDashesForEveryNumber)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({{{"type", 1}, {"manufacturer", 1}, {"product", 7}}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), Lines({"System manufacturer: --", "Product name: --", "Service tag: --"}));
    auto* get = driver.symbol<const char*(PUCHAR, ULONG)>("SmbiosGetString");
    EXPECT_STREQ(get(driver.state().tableBase, 1), "--");
    EXPECT_STREQ(get(driver.state().tableBase, 200), "--");
}

TEST(SmbiosGetString, ANumberBeyondTheLastStringPrintsTheMarker)
{
    const json enclosure = {{"type", 3}, {"manufacturer", "Case Co"}, {"asset_tag", 4}};
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({enclosure})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), "Asset tag: <missing string>\r\n");
}

TEST(SmbiosGetString, AStringCutByTheTablesEndIsNotReturned)
{
    // The last string loses its NUL and the set's final NUL: its bytes run
    // into the table's end.
    const json system = {{"type", 1}, {"length", 8}, {"manufacturer", "Maker"}, {"product", "Product"}};
    SmbiosDriver driver(
        SmbiosMachine(SmbiosSection({system}, {{"table_address", "0x300000"}, {"table_length", 8 + 6 + 7}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(),
              Lines({"System manufacturer: Maker", "Product name: <missing string>", "Service tag: --"}));
}

} // namespace
} // namespace ztest
