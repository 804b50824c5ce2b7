// The SMBIOS inventory report and the CPU-speed text.
#include "smbios_test_support.h"

#include "frame/report_text.h"

#include <tuple>

namespace ztest {
namespace {

json Processor(int current, int external = 100, int max = 2000, const char* maker = "Chips Inc")
{
    return {{"type", 4},
            {"manufacturer", maker},
            {"current_speed", current},
            {"external_clock", external},
            {"max_speed", max}};
}

json Cache(const char* configuration, const char* size)
{
    return {{"type", 7}, {"socket", "Cache"}, {"configuration", configuration}, {"installed_size", size}};
}

json Memory(int length, int size, int speed, const char* locator)
{
    return {{"type", 17}, {"length", length}, {"size", size}, {"speed", speed}, {"device_locator", locator}};
}

json Battery(int length)
{
    return {{"type", 22},         {"length", length},   {"location", "Bay"},        {"manufacturer", "Cells"},
            {"device_name", "P"}, {"sbds_serial", 777}, {"sbds_date", "2003-07-15"}};
}

std::string Report(const std::vector<json>& structures)
{
    SmbiosDriver driver(SmbiosMachine(SmbiosSection(structures)));
    driver.startAndOpen();
    return driver.report();
}

// The lines of one processor block.
std::string CpuLines(const char* maker, int current, int external, int max)
{
    const std::string mhz = " MHz\r\n";
    return std::string("CPU manufacturer: ") + maker + "\r\nCurrent CPU speed: " + std::to_string(current) + mhz +
           "External clock: " + std::to_string(external) + mhz +
           "Max. CPU speed supported by board: " + std::to_string(max) + mhz;
}

const std::string kBatteryHead =
    Lines({"Battery manufacturer: Cells", "Battery device name: P", "Battery location: Bay"});

// --- BuildSmbiosReport ---

TEST(BuildSmbiosReport, TheDefaultNotebooksInventory)
{
    SmbiosDriver driver(zhost::DefaultNotebookProfile());
    driver.startAndOpen();
    EXPECT_EQ(
        driver.report(),
        Lines({"BIOS vendor: Kestrel Firmware Ltd.", "BIOS version: A07", "BIOS date: 07/15/2004",
               "System manufacturer: Aldane Computer Corp.", "Product name: Voyager 4200", "Service tag: AV42-0038815",
               "Asset tag: IT-0412-077", "L1 cache size: 32 KB (internal)", "L2 cache size: 2048 KB (internal)"}) +
            CpuLines("Meridian Microdevices", 1800, 400, 2000) +
            Lines({"Video card: Lumen Graphics LX 9700 Mobility", "Ethernet card: Tessar NetLink 4401 Gigabit",
                   "Sound card: Sonora AC'97 Audio", "SODIMM Socket 'DIMM_A': 512 MB (333 MHz)",
                   "SODIMM Socket 'DIMM_B': 512 MB", "Battery manufacturer: Halden Power",
                   "Battery device name: HP-6C44", "Battery location: Sys. Battery Bay",
                   "Battery manufacturing date: 3/22/2004 (SBDS)", "Battery serial no: 1287 (SBDS)"}));
    EXPECT_EQ(driver.cpuSpeed(), "1800");
    EXPECT_EQ(driver.kernel->probe().mapCalls(), 1u); // the table lies in the F segment
}

TEST(BuildSmbiosReport, CacheLevelSizeGranularityAndLocation)
{
    EXPECT_EQ(
        Report({Cache("0x0181", "0x8008"), Cache("0x01A1", "512"), Cache("0x0102", "0"), Cache("0x0167", "0xFFFF")}),
        Lines({"L2 cache size: 512 KB (internal)", "L2 cache size: 512 KB (external)", "L3 cache size: 0 KB (internal)",
               "L8 cache size: 2097088 KB (unknown)"}));
    // Granularity is bit 15 alone: an odd size is still in kilobytes.
    EXPECT_EQ(Report({Cache("0x0140", "64"), Cache("0x0180", "0x0101")}),
              Lines({"L1 cache size: 64 KB (reserved)", "L1 cache size: 257 KB (internal)"}));
}

TEST(BuildSmbiosReport, MemoryDevicesTheSpeedPartOnlyFromLength0x17WithANonzeroSpeed)
{
    EXPECT_EQ(Report({Memory(0x15, 256, 266, "A"), Memory(0x17, 256, 0, "B"), Memory(0x17, 1024, 400, "C"),
                      Memory(0x1B, 0x8200, 533, "D"), Memory(0x1B, 0, 0, "E"), Memory(0x1B, 0xFFFF, 0, "F"),
                      Memory(0x16, 256, 266, "G")}),
              Lines({"SODIMM Socket 'A': 256 MB", "SODIMM Socket 'B': 256 MB", "SODIMM Socket 'C': 1024 MB (400 MHz)",
                     "SODIMM Socket 'D': 33280 MB (533 MHz)", "SODIMM Socket 'E': 0 MB", "SODIMM Socket 'F': 65535 MB",
                     "SODIMM Socket 'G': 256 MB"}));
}

TEST(BuildSmbiosReport, BatterySbdsLinesByFormattedLength)
{
    const auto date = Lines({"Battery manufacturing date: 7/15/2003 (SBDS)"});
    const auto serial = Lines({"Battery serial no: 777 (SBDS)"});
    EXPECT_EQ(Report({Battery(0x1A)}), kBatteryHead + date + serial);
    EXPECT_EQ(Report({Battery(0x14)}), kBatteryHead + date + serial);
    // At 19 the date word's upper byte is the string-set's first byte, "B"
    // of "Bay" (0x42), so the year field is 0x21; at 17 the serial's: 0x4209.
    EXPECT_EQ(Report({Battery(0x13)}), kBatteryHead + Lines({"Battery manufacturing date: 7/15/2013 (SBDS)"}) + serial);
    EXPECT_EQ(Report({Battery(0x12)}), kBatteryHead + serial);
    EXPECT_EQ(Report({Battery(0x11)}), kBatteryHead + Lines({"Battery serial no: 16905 (SBDS)"}));
    EXPECT_EQ(Report({Battery(0x10)}), kBatteryHead);
}

// Each string wins over its own SBDS field alone.
TEST(BuildSmbiosReport, BatteryStringsWinOverTheSbdsFields)
{
    const auto date = Lines({"Battery manufacturing date: 05/06/2004"});
    const auto serial = Lines({"Battery serial no: SN-1"});
    for (const auto& [withDate, withSerial, expected] : std::vector<std::tuple<bool, bool, std::string>>{
             {true, true, date + serial},
             {true, false, date + Lines({"Battery serial no: 777 (SBDS)"})},
             {false, true, Lines({"Battery manufacturing date: 7/15/2003 (SBDS)"}) + serial}}) {
        json battery = Battery(0x1A);
        if (withDate) battery["manufacture_date"] = "05/06/2004";
        if (withSerial) battery["serial"] = "SN-1";
        EXPECT_EQ(Report({battery}), kBatteryHead + expected);
    }
}

TEST(BuildSmbiosReport, FieldsPastTheTablesEndReadAsZero)
{
    // A processor whose formatted area is only the header, at the very end
    // of an exactly mapped table: its fields lie beyond the table. One in
    // the window whose table ends at its current speed: the bytes behind
    // are its strings, not the speed.
    json windowed = Processor(1000);
    windowed["length"] = 0x16;
    for (const auto& [section, lines] : std::vector<std::pair<json, std::string>>{
             {SmbiosSection({{{"type", 4}, {"length", 4}}}, {{"table_address", "0x300000"}, {"table_length", 4}}),
              CpuLines("--", 0, 0, 0)},
             {SmbiosSection({windowed}, {{"table_length", 0x16}}), CpuLines("--", 0, 100, 2000)}}) {
        SmbiosDriver driver(SmbiosMachine(section));
        driver.startAndOpen();
        EXPECT_EQ(driver.report(), lines);
        EXPECT_EQ(driver.cpuSpeed(), "0");
    }
}

// --- GetCpuSpeedText ---

// The count is the entry point's word: a processor behind 256 boards is
// the 257th structure.
TEST(GetCpuSpeedText, OnlyTheCountedStructuresAreSearched)
{
    const std::vector<json> boards(256, json{{"type", 2}});
    std::vector<json> behindBoards(boards);
    behindBoards.push_back(Processor(1000));
    for (const auto& [structures, count, speed] : std::vector<std::tuple<std::vector<json>, int, const char*>>{
             {{{{"type", 0}}, Processor(1000)}, 1, "---"}, {behindBoards, 256, "---"}, {behindBoards, 257, "1000"}}) {
        SmbiosDriver driver(SmbiosMachine(SmbiosSection(structures, {{"structure_count", count}})));
        driver.startAndOpen();
        EXPECT_EQ(driver.cpuSpeed(), speed) << count;
    }
    SmbiosDriver driver(SmbiosMachine(SmbiosSection({{{"type", 0}}, Processor(1000)}, {{"structure_count", 1}})));
    driver.startAndOpen();
    EXPECT_EQ(driver.report(), Lines({"BIOS vendor: --", "BIOS version: --", "BIOS date: --"}));
}

} // namespace
} // namespace ztest
