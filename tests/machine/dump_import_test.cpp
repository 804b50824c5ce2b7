// Firmware dumps of real notebooks, replayed on a bare simulated machine and
// surveyed by the unchanged driver. The quirk dumps are in tests/dumps
// (written by make_quirk_dumps.py there).
#include "acpi_fixture.h"
#include "firmware_images/dump_import.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ztest {
namespace {

const std::string kDumps = std::string(ZERLO_TEST_PROFILES) + "/../dumps/";

std::string SmbiosReport(Driver& driver)
{
    return driver.text(IOCTL_GET_SMBIOS_REPORT, ZERLO_SMBIOS_REPORT_SIZE);
}

uint8_t Sum(const std::vector<uint8_t>& bytes, size_t from = 0, size_t to = SIZE_MAX)
{
    uint8_t sum = 0;
    for (size_t i = from; i < std::min(to, bytes.size()); ++i)
        sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

std::vector<zhost::AcpiDumpBlock> Parse(const std::string& text)
{
    std::istringstream in(text);
    return zhost::ParseAcpiDump(in, "dump.txt");
}

// A 36-byte table header and body with its checksum, as acpidump shows it.
std::vector<uint8_t> TableBytes(const char* signature, uint32_t length, const char* oem = "NOTEBK")
{
    std::vector<uint8_t> t(length, 0);
    std::memcpy(t.data(), signature, 4);
    for (int i = 0; i < 4; ++i)
        t[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    t[8] = 1;
    std::memcpy(t.data() + 10, oem, 6);
    std::memcpy(t.data() + 16, "MODEL 42", 8);
    t[9] = static_cast<uint8_t>(-Sum(t));
    return t;
}

std::vector<uint8_t> Rsdp(uint32_t rsdt)
{
    std::vector<uint8_t> r = {'R', 'S', 'D', ' ', 'P', 'T', 'R', ' ', 0, 'N', 'O', 'T', 'E', 'B', 'K', 0};
    for (int i = 0; i < 4; ++i)
        r.push_back(static_cast<uint8_t>(rsdt >> (8 * i)));
    r[8] = static_cast<uint8_t>(-Sum(r));
    return r;
}

std::string Block(const std::string& header, const std::vector<uint8_t>& bytes)
{
    std::string text = header + "\n";
    for (size_t at = 0; at < bytes.size(); at += 16) {
        char line[80];
        int n = std::snprintf(line, sizeof line, "    %04zX:", at);
        for (size_t i = at; i < std::min(bytes.size(), at + 16); ++i)
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02X", bytes[i]);
        text += std::string(line) + "  ................\n";
    }
    return text + "\n";
}

TEST(AcpiDumpParse, TextColumnThatLooksLikeHexIsNotRead)
{
    // The text column of this line begins "AB CD", two blanks behind the bytes.
    const auto blocks = Parse("FACS @ 0x1000\n  0000: 46 41 43 53 08 00 00 00  AB CD EF\n");
    EXPECT_EQ(blocks.at(0).bytes, (std::vector<uint8_t>{0x46, 0x41, 0x43, 0x53, 8, 0, 0, 0}));
}

TEST(AcpiDumpParse, ZerloctlRefusesARevisionTwoRsdpShorterThanItsLength)
{
    try {
        Parse("RSD  @ 0xF0000\n    0000: 52 53 44 20 50 54 52 20 00 41 42 43 44 45 46 02  RSD PTR\n"
              "    0010: 00 00 00 00 24 00 00 00  ....\n");
        ADD_FAILURE() << "a truncated RSDP accepted";
    } catch (const zhost::DumpError& error) {
        EXPECT_STREQ(error.what(), "dump.txt: line 1: RSDP block holds 24 bytes, its length says 36: truncated");
    }
}

TEST(AcpiDumpReplay, OverlappingTablesThatAgreeArePlaced)
{
    // Firmware whose APIC starts inside its FACP: acpidump shows the shared
    // bytes in both blocks.
    std::vector<uint8_t> facp = TableBytes("FACP", 0x40);
    const std::vector<uint8_t> apic = TableBytes("APIC", 0x30);
    std::copy(apic.begin(), apic.begin() + 0x20, facp.begin() + 0x20);
    const std::string agree = Block("FACP @ 0x00100000", facp) + Block("APIC @ 0x00100020", apic);
    zhost::Machine machine;
    zhost::PlaceAcpiDump(machine, Parse(agree), "dump.txt");
    EXPECT_EQ(machine.memory()->read(0x100020, 0x30), apic);
    EXPECT_EQ(machine.memory()->read(0x100000, 0x20), std::vector<uint8_t>(facp.begin(), facp.begin() + 0x20));
}

TEST(AcpiDumpReplay, RsdpInTheEbdaAimsTheEbdaPointerAtIt)
{
    const std::string text =
        Block("RSD PTR @ 0x9fc30", Rsdp(0x100000)) + Block("RSDT @ 0x100000", TableBytes("RSDT", 36));
    Driver driver(zhost::BareProfile());
    zhost::PlaceAcpiDump(*driver.machine, Parse(text), "dump.txt");
    EXPECT_EQ(driver.machine->memory()->read(0x40E, 2), (std::vector<uint8_t>{0xC0, 0x9F}));
    driver.startAndOpen();
    const std::string expected =
        Lines({"Searching EBDA for signature...", "Searching VA 0x20024c00, 1024 Bytes...",
               "Sig found at VA 0x20024c30", "ACPI V1 BIOS detected", "RSDT @ VA 0x20026000 (PA 0x00100000)"});
    EXPECT_EQ(AcpiReport(driver).substr(0, expected.size()), expected);

    // A pointer that already covers the RSDP is the firmware's own: kept.
    zhost::Machine machine;
    const uint8_t segment[2] = {0x80, 0x9F}; // 0x9F800: the RSDP lies in its first KB
    machine.memory()->write(0x40E, segment);
    zhost::PlaceAcpiDump(
        machine, Parse(Block("RSD PTR @ 0x9fa00", Rsdp(0x100000)) + Block("RSDT @ 0x100000", TableBytes("RSDT", 36))),
        "dump.txt");
    EXPECT_EQ(machine.memory()->read(0x40E, 2), (std::vector<uint8_t>{0x80, 0x9F}));
}

TEST(AcpiDumpReplay, TablesAbove4GiBAreLeftOut)
{
    zhost::Machine machine;
    zhost::PlaceAcpiDump(machine,
                         Parse(Block("SSDT @ 0x0000000100000000", TableBytes("SSDT", 36)) +
                               Block("SSDT @ 0x00000000FFFFFFF0", TableBytes("SSDT", 36))),
                         "dump.txt");
    EXPECT_TRUE(machine.memory()->populatedRanges().empty());
}

// ---- SMBIOS ---------------------------------------------------------------

TEST(SmbiosDumpReplay, EntryPointOfLength0x20IsPlacedWholeWithItsChecksums)
{
    Driver driver(zhost::BareProfile());
    const auto placed = zhost::ImportSmbiosDump(*driver.machine, kDumps + "entry_length_0x20.bin");
    EXPECT_EQ(placed.entryPoint, 0xF0000u);
    EXPECT_EQ(placed.table, 0xF0030u); // behind the entry point and a 16-byte gap
    const std::vector<uint8_t> entry = driver.machine->memory()->read(placed.entryPoint, 0x20);
    EXPECT_EQ(Long(entry, 0x18), placed.table);
    EXPECT_EQ(entry[0x1F], 0xAA) << "the 32nd byte is part of the entry point";
    EXPECT_EQ(Sum(entry), 0);
    EXPECT_EQ(Sum(entry, 0x10, 0x1F), 0);
    driver.startAndOpen();
    EXPECT_EQ(SmbiosReport(driver),
              Lines({"BIOS vendor: Phoenix Technologies LTD", "BIOS version: A12", "BIOS date: 05/14/2007",
                     "System manufacturer: Dell Inc.", "Product name: Latitude D630", "Service tag: 7XJ2R3J",
                     "CPU manufacturer: Intel", "Current CPU speed: 2000 MHz", "External clock: 200 MHz",
                     "Max. CPU speed supported by board: 2600 MHz"}));
}

TEST(SmbiosDumpReplay, Smbios3DumpIsPlacedAndReportsNoSmbios)
{
    // _SM3_, length 0x18, version 3.0, table of 6 bytes at 0x20 (dmidecode's patch).
    std::vector<uint8_t> dump = {'_', 'S', 'M', '3', '_',  0, 0x18, 3, 0, 0, 1, 0,
                                 6,   0,   0,   0,   0x20, 0, 0,    0, 0, 0, 0, 0};
    dump[5] = static_cast<uint8_t>(-Sum(dump));
    dump.resize(0x20, 0);
    dump.insert(dump.end(), {127, 4, 0, 0, 0, 0});
    Driver driver(zhost::BareProfile());
    const auto placed = zhost::PlaceSmbiosDump(*driver.machine, dump, "sm3.bin");
    const std::vector<uint8_t> entry = driver.machine->memory()->read(placed.entryPoint, 0x18);
    EXPECT_EQ(Long(entry, 0x10), placed.table);
    EXPECT_EQ(driver.machine->memory()->read(placed.table, 6), (std::vector<uint8_t>{127, 4, 0, 0, 0, 0}));
    driver.startAndOpen();
    EXPECT_EQ(SmbiosReport(driver), "*** Error: No SMBIOS found ***");
}

TEST(SmbiosDumpReplay, PlacementKeepsClearOfFirmwareAlreadyThere)
{
    const std::vector<uint8_t> dump = zhost::ReadWholeFile(kDumps + "entry_length_0x20.bin");
    zhost::Machine machine;
    // An RSDP at the segment's start, and BIOS code filling it from 0xF0400.
    machine.memory()->write(0xF0000, Rsdp(0x100000));
    machine.memory()->write(0xF0400, std::vector<uint8_t>(0xFC00, 0x90));
    const auto placed = zhost::PlaceSmbiosDump(machine, dump, "smbios.bin");
    EXPECT_EQ(placed.entryPoint, 0xF0030u);
    EXPECT_EQ(placed.table, 0xF0060u);

    zhost::Machine full;
    full.memory()->write(0xF0000, std::vector<uint8_t>(0xFF80, 0x90));
    const auto high = zhost::PlaceSmbiosDump(full, dump, "smbios.bin");
    EXPECT_EQ(high.entryPoint, 0xFFF90u);
    EXPECT_EQ(high.table, 0x100000u) << "no room behind the entry point: the first free page above 1 MiB";
}

// ---- raw images -------------------------------------------------------------

TEST(PhysImage, SparseImageStoresOnlyPagesThatHoldData)
{
    const std::string path = ::testing::TempDir() + "zerlo_phys.img";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        const char rsdp[] = "RSD PTR ";
        out.seekp(0xF6A10);
        out.write(rsdp, 8);
        out.seekp(0x200000);
        out.write(std::string(0x2000, '\0').data(), 0x2000); // written, but zero
        out.seekp(0x7FF0000);
        out.write("X", 1);
    }
    zhost::Machine machine;
    zhost::ImportPhysImage(machine, path);
    std::filesystem::remove(path);
    EXPECT_EQ(machine.memory()->populatedRanges(),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0xF6000, 0x1000}, {0x7FF0000, 0x1000}}));
    EXPECT_EQ(machine.memory()->read(0xF6A10, 8), (std::vector<uint8_t>{'R', 'S', 'D', ' ', 'P', 'T', 'R', ' '}));
    EXPECT_EQ(machine.memory()->byte(0x7FF0000), 'X');
}

TEST(DumpProfile, DumpsReplaceTheProfilesFirmwareButKeepTheEbdaPointer)
{
    const nlohmann::json profile = zhost::ProfileForDumps(zhost::DefaultNotebookProfile(), true, true);
    EXPECT_FALSE(profile.contains("smbios"));
    EXPECT_EQ(profile.at("acpi"), (nlohmann::json{{"ebda_segment", "0x9FC0"}}));
    EXPECT_TRUE(profile.contains("smm"));
    EXPECT_EQ(zhost::ProfileForDumps(zhost::DefaultNotebookProfile(), false, false), zhost::DefaultNotebookProfile());
}

} // namespace
} // namespace ztest
