// Finding the entry point, locating the table, and the bounded structure
// length, on firmware as real machines have it, with the driver's SMBIOS
// state read by symbol.
#include "smbios_test_support.h"

namespace ztest {
namespace {

const json kProcessor = {{"type", 4}, {"manufacturer", "Chips"}, {"current_speed", 1000}};

// --- SmbiosFindEntryPoint ---

TEST(SmbiosFindEntryPoint, PassesOverABadChecksumAndTakesTheLowerOfTwoValidEntryPoints)
{
    // The valid entry point at 0xF1000 is copied whole to 0xF3000 (pointing
    // at the same table) so two of them pass; a broken one lies before both.
    json section = SmbiosSection({kBios}, {{"quirks", {{"bad_checksum_decoy_at", "0xF0800"}}}});
    const std::vector<uint8_t> ep = zhost::BuildMachine(SmbiosMachine(section))->memory()->read(0xF1000, 0x1F);
    SmbiosDriver driver(SmbiosMachine(section));
    driver.machine->memory()->write(0xF3000, ep);
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), kBiosLines);
    EXPECT_EQ(driver.state().entryPoint, driver.window() + 0x11000);
}

TEST(SmbiosFindEntryPoint, NoUsableEntryPointOrTableGivesItsErrorOnEveryRequest)
{
    // "_DMIX": the anchor's last letter wrong; byte 0x1E, which no reader
    // uses, keeps the entry point's checksum.
    const uint8_t last = zhost::BuildMachine(SmbiosMachine(SmbiosSection({kBios})))->memory()->byte(0xF101E);
    char compensated[3];
    std::snprintf(compensated, sizeof compensated, "%02x", static_cast<uint8_t>(last + '_' - 'X'));
    const json wrongLetter =
        json::array({{{"address", 0xF1014}, {"hex", "58"}}, {{"address", 0xF101E}, {"hex", compensated}}});
    ExpectReports({{"SMBIOS 3 only", {kBios}, {{"quirks", {{"sm3_only", true}}}}, kNoSmbios},
                   {"no _DMI_ anchor",
                    {kBios},
                    {{"quirks", {{"no_dmi_anchor", true}}}},
                    "*** Error: Pointer to DMI structures not found ***"},
                   {"_DMIX", {kBios}, {}, "*** Error: Pointer to DMI structures not found ***", wrongLetter},
                   {"table of length 0", {kBios}, {{"table_address", "0x200000"}, {"table_length", 0}}, ""},
                   {"table below its own length", {kBios}, {{"table_address", "0x10"}}, kBiosLines},
                   {"table ending at 4 GiB", {kBios}, {{"table_address", "0xFFFFFFD6"}}, kBiosLines}});
}

// --- SmbiosLocateTable ---

TEST(SmbiosLocateTable, ATableBelowTheFSegmentOrOutsideTheWindowIsMappedByItselfOnce)
{
    for (const char* address : {"0xEE000", "0xEFFFF", "0x100000", "0x1FF0000"}) {
        SCOPED_TRACE(address);
        SmbiosDriver driver(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", address}})));
        driver.startAndOpen();
        EXPECT_EQ(driver.report(), kBiosLines);
        EXPECT_EQ(driver.cpuSpeed(), "---");
        EXPECT_EQ(driver.report(), kBiosLines);
        EXPECT_EQ(driver.kernel->probe().mapCalls(), 2u);
        // Exactly the formatted area, "Vendor", "V1", "01/02/2003" and the set's NUL.
        const auto mappings = driver.kernel->probe().liveMappings();
        ASSERT_EQ(mappings.size(), 2u);
        EXPECT_TRUE(std::any_of(mappings.begin(), mappings.end(), [&](const zhost::LiveMapping& m) {
            return m.physicalAddress == std::stoul(address, nullptr, 0) && m.length == 0x14u + 22u;
        }));
        driver.kernel->unload();
        EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
    }
}

TEST(SmbiosLocateTable, ATableThatRunsPastTheWindowIsWalkedOnlyToTheWindowsEnd)
{
    // The table starts at 0xFFFC0 and claims 0x100 bytes. The system
    // structure's strings cross 0x100000, so only its first string can be
    // read, and the walk ends there.
    const json system = {
        {"type", 1}, {"length", 8}, {"manufacturer", "Maker"}, {"product", "Product"}, {"serial", "Serial"}};
    const json bios = {{"type", 0}, {"length", 0x14}, {"vendor", "V"}, {"version", "R"}, {"release_date", "D"}};
    auto driver = std::make_unique<SmbiosDriver>(
        SmbiosMachine(SmbiosSection({bios, {{"type", 32}, {"length", 0x0F}}, system, kBios},
                                    {{"table_address", "0xFFFC0"}, {"table_length", "0x100"}})));
    driver->startAndOpen();
    EXPECT_EQ(driver->report(),
              Lines({"BIOS vendor: V", "BIOS version: R", "BIOS date: D", "System manufacturer: Maker",
                     "Product name: <missing string>", "Service tag: <missing string>"}));
    EXPECT_EQ(driver->state().tableEnd, driver->window() + 0x20000);
    EXPECT_EQ(driver->kernel->probe().mapCalls(), 1u);

    // The window's last byte: no structure fits, and nothing past 1 MiB is mapped.
    driver.reset(); // one simulated kernel at a time
    driver = std::make_unique<SmbiosDriver>(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", "0xFFFFF"}})));
    driver->startAndOpen();
    EXPECT_EQ(driver->report(), "");
    EXPECT_EQ(driver->kernel->probe().mapCalls(), 1u);

    // One byte across 4 GiB: refused without asking the kernel.
    driver.reset();
    driver = std::make_unique<SmbiosDriver>(SmbiosMachine(SmbiosSection({kBios}, {{"table_address", "0xFFFFFFD7"}})));
    driver->startAndOpen();
    EXPECT_EQ(driver->report(), "*** Error: SMBIOS table mapping failed ***");
    EXPECT_EQ(driver->kernel->probe().mapCalls(), 1u);
}

// --- SmbiosStructureLength and the walk's bounds ---

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
    auto* length = ZERLO_SYMBOL(driver, SmbiosStructureLength);
    const PUCHAR battery_at = driver.state().tableBase + 0x14 + 22;
    EXPECT_EQ(length(battery_at), 0x10u + 4 + 6 + 5);
    EXPECT_EQ(battery_at + length(battery_at), driver.state().tableEnd);
}

TEST(SmbiosStructureLength, TheWalkEndsAtTheTablesEndWhenMoreStructuresAreAnnounced)
{
    // Behind the table lies a copy of its BIOS structure; the walk must not
    // take it because the table ends before it. Seven structures make a
    // table of 294 bytes, whose length word has a high byte.
    for (size_t structures : {1, 7}) {
        const json section =
            SmbiosSection(std::vector<json>(structures, kBios), {{"quirks", {{"extra_announced", 5}}}});
        const uint32_t end = 0xF2000 + static_cast<uint32_t>(structures) * (0x14 + 22);
        std::string hex;
        for (uint8_t byte : zhost::BuildMachine(SmbiosMachine(section))->memory()->read(0xF2000, 0x14 + 22)) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", byte);
            hex += two;
        }
        SmbiosDriver driver(SmbiosMachine(section, json::array({{{"address", end}, {"hex", hex}}})));
        driver.startAndOpen();
        std::string expected;
        for (size_t i = 0; i < structures; ++i)
            expected += kBiosLines;
        EXPECT_EQ(driver.report(), expected) << structures;
    }
}

TEST(SmbiosStructureLength, ShortOrCutFormattedAreasEndTheWalk)
{
    ExpectReports({{"formatted length 3", {kBios, {{"type", 0x80}, {"length", 3}}, kProcessor}, {}, kBiosLines},
                   {"cut by the table's length", {kBios, kProcessor}, {{"table_length", 0x14 + 22 + 0x10}}, kBiosLines},
                   {"no structures", {}, {}, ""}});
}

} // namespace
} // namespace ztest
