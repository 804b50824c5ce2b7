// Firmware dumps of real notebooks, replayed on a bare simulated machine and
// surveyed by the unchanged driver. The quirk dumps are in tests/dumps
// (written by make_quirk_dumps.py there).
#include "acpi_fixture.h"
#include "machine/dump_import.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace ztest {
namespace {

const std::string kDumps = std::string(ZERLO_TEST_PROFILES) + "/../dumps/";

std::string SmbiosReport(Driver& driver)
{
    return driver.text(IOCTL_GET_SMBIOS_REPORT, ZERLO_SMBIOS_REPORT_SIZE);
}

std::vector<zhost::AcpiDumpBlock> Parse(const std::string& text)
{
    std::istringstream in(text);
    return zhost::ParseAcpiDump(in, "dump.txt");
}

// A 36-byte table header and body with its checksum, as acpidump shows it.
std::vector<uint8_t> Table(const char* signature, uint32_t length, const char* oem = "NOTEBK")
{
    std::vector<uint8_t> t(length, 0);
    std::memcpy(t.data(), signature, 4);
    for (int i = 0; i < 4; ++i)
        t[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    t[8] = 1;
    std::memcpy(t.data() + 10, oem, 6);
    std::memcpy(t.data() + 16, "MODEL 42", 8);
    uint8_t sum = 0;
    for (uint8_t b : t)
        sum = static_cast<uint8_t>(sum + b);
    t[9] = static_cast<uint8_t>(-sum);
    return t;
}

std::vector<uint8_t> Rsdp(uint32_t rsdt)
{
    std::vector<uint8_t> r = {'R', 'S', 'D', ' ', 'P', 'T', 'R', ' ', 0, 'N', 'O', 'T', 'E', 'B', 'K', 0};
    for (int i = 0; i < 4; ++i)
        r.push_back(static_cast<uint8_t>(rsdt >> (8 * i)));
    uint8_t sum = 0;
    for (uint8_t b : r)
        sum = static_cast<uint8_t>(sum + b);
    r[8] = static_cast<uint8_t>(-sum);
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

Driver Replay(const std::string& acpidump)
{
    Driver driver(zhost::BareProfile());
    zhost::ImportAcpiDump(*driver.machine, acpidump);
    return driver;
}

TEST(AcpiDumpParse, BothHeaderLayoutsGiveTheSameBlocks)
{
    const auto current = Parse("RSD  @ 0x00000000000F6A80\n"
                               "    0000: 52 53 44 20 50 54 52 20 88 41 53 55 53 20 20 00  RSD PTR .ASUS  .\n"
                               "    0010: 00 C0 FE 1F                                      ....\n"
                               "\n"
                               "FACS @ 0x0000000000000000\n"
                               "    0000: 46 41 43 53 08 00 00 00                          FACS....\n");
    const auto older = Parse("RSD PTR @ 0xf6a80\r\n"
                             "  0000: 52 53 44 20 50 54 52 20 88 41 53 55 53 20 20 00  RSD PTR .ASUS  .\r\n"
                             "  0010: 00 c0 fe 1f                                      ....\r\n"
                             "\r\n"
                             "FACS @ (nil)\r\n"
                             "  0000: 46 41 43 53 08 00 00 00\r\n");
    ASSERT_EQ(current.size(), 2u);
    ASSERT_EQ(older.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(current[i].signature, older[i].signature);
        EXPECT_EQ(current[i].address, older[i].address);
        EXPECT_EQ(current[i].bytes, older[i].bytes);
    }
    EXPECT_EQ(current[0].signature, "RSDP");
    EXPECT_EQ(current[0].address, 0xF6A80u);
    EXPECT_EQ(current[0].bytes.size(), 20u);
    EXPECT_EQ(current[1].address, 0u);
    EXPECT_EQ(current[1].line, 5u);
}

TEST(AcpiDumpParse, TextColumnThatLooksLikeHexIsNotRead)
{
    // The text column of this line begins "AB CD", two blanks behind the bytes.
    const auto blocks = Parse("FACS @ 0x1000\n  0000: 46 41 43 53 08 00 00 00  AB CD EF\n");
    EXPECT_EQ(blocks.at(0).bytes, (std::vector<uint8_t>{0x46, 0x41, 0x43, 0x53, 8, 0, 0, 0}));
}

TEST(AcpiDumpParse, RevisionTwoRsdpMustHoldItsLength)
{
    EXPECT_THROW(
        {
            try {
                Parse("RSD  @ 0xF0000\n    0000: 52 53 44 20 50 54 52 20 00 41 42 43 44 45 46 02  RSD PTR\n"
                      "    0010: 00 00 00 00 24 00 00 00  ....\n");
            } catch (const zhost::DumpError& error) {
                EXPECT_STREQ(error.what(),
                             "dump.txt: line 1: RSDP block holds 24 bytes, its length says 36: truncated");
                throw;
            }
        },
        zhost::DumpError);
}

TEST(AcpiDumpReplay, XsdtIsWalkedWhereRsdtAndXsdtListDifferentTables)
{
    Driver driver = Replay(kDumps + "rsdt_xsdt_differ.txt");
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_EQ(text.substr(text.find("Sig found")), Lines({"Sig found at VA 0x20017b30",
                                                          "ACPI V2 BIOS detected",
                                                          "XSDT @ VA 0x20026100 (PA 0xbf6e0100)",
                                                          "Analyzing XSDT...",
                                                          "  Remapping 'XSDT', 68 Bytes from VA 0x20026100",
                                                          "  OEMID:'INSYDE'",
                                                          "  OEM Table ID:'CALPELLA'",
                                                          "  Table remapped to VA 0x20028100 (PA 0xbf6e0100)",
                                                          "Table found at PA 0xbf6e0200 ...",
                                                          "  Remapping 'FACP', 252 Bytes from VA 0x2002a200",
                                                          "  OEMID:'INSYDE'",
                                                          "  OEM Table ID:'CALPELLA'",
                                                          "  Table remapped to VA 0x2002c200 (PA 0xbf6e0200)",
                                                          "Table found at PA 0xbf6e0300 ...",
                                                          "  Remapping 'APIC', 68 Bytes from VA 0x2002e300",
                                                          "  OEMID:'INSYDE'",
                                                          "  OEM Table ID:'CALPELLA'",
                                                          "  Table remapped to VA 0x20030300 (PA 0xbf6e0300)",
                                                          "Table found at PA 0xbf6e0500 ...",
                                                          "  Remapping 'HPET', 56 Bytes from VA 0x20032500",
                                                          "  OEMID:'INSYDE'",
                                                          "  OEM Table ID:'CALPELLA'",
                                                          "  Table remapped to VA 0x20034500 (PA 0xbf6e0500)",
                                                          "Table found at PA 0xbf6e0600 ...",
                                                          "  Remapping 'MCFG', 60 Bytes from VA 0x20036600",
                                                          "  OEMID:'INSYDE'",
                                                          "  OEM Table ID:'CALPELLA'",
                                                          "  Table remapped to VA 0x20038600 (PA 0xbf6e0600)",
                                                          "",
                                                          "PA->VA Mappings:",
                                                          "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                                          "PA 0xbf6e0100 -> VA 0x20028100 (68 Bytes)",
                                                          "PA 0xbf6e0200 -> VA 0x2002c200 (252 Bytes)",
                                                          "PA 0xbf6e0300 -> VA 0x20030300 (68 Bytes)",
                                                          "PA 0xbf6e0500 -> VA 0x20034500 (56 Bytes)",
                                                          "PA 0xbf6e0600 -> VA 0x20038600 (60 Bytes)"}));
    // The RSDT's SLIC is in memory all the same, where the dump put it.
    EXPECT_EQ(driver.machine->memory.read(0xBF6E0400, 4), (std::vector<uint8_t>{'S', 'L', 'I', 'C'}));
}

TEST(AcpiDumpReplay, SsdtsRecordedAtAddressZeroAreNotPlaced)
{
    Driver driver = Replay(kDumps + "ssdts_at_address_0.txt");
    for (const auto& [start, length] : driver.machine->memory.populatedRanges()) {
        EXPECT_GE(start, 0x1000u) << "something was written to the first page";
    }
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_EQ(text.substr(text.find("Table found")),
              Lines({"Table found at PA 0x7f6f0200 ...", "  Remapping 'FACP', 252 Bytes from VA 0x2002a200",
                     "  OEMID:'INSYDE'", "  OEM Table ID:'CALPELLA'",
                     "  Table remapped to VA 0x2002c200 (PA 0x7f6f0200)", "Table found at PA 0x7f6f0400 ...",
                     "  Remapping 'SSDT', 76 Bytes from VA 0x2002e400", "  OEMID:'LENOVO'", "  OEM Table ID:'CpuPm   '",
                     "  Table remapped to VA 0x20030400 (PA 0x7f6f0400)", "", "PA->VA Mappings:",
                     "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)", "PA 0x7f6f0080 -> VA 0x20028080 (52 Bytes)",
                     "PA 0x7f6f0200 -> VA 0x2002c200 (252 Bytes)", "PA 0x7f6f0400 -> VA 0x20030400 (76 Bytes)"}));
}

TEST(AcpiDumpReplay, TableMissingFromTheDumpIsEmptyMemory)
{
    Driver driver = Replay(kDumps + "table_missing.txt");
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_EQ(text.substr(text.find("Table found at PA 0x1ffec100")),
              Lines({"Table found at PA 0x1ffec100...", "  Remapping '', 0 Bytes from VA 0x20032100", "  OEMID:''",
                     "  OEM Table ID:''", "*** ERROR: Length 0 is shorter than the 36-byte header ***", "",
                     "PA->VA Mappings:", "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                     "PA 0x1ffec000 -> VA 0x20028000 (48 Bytes)", "PA 0x1ffec080 -> VA 0x2002c080 (48 Bytes)",
                     "PA 0x1ffec0c0 -> VA 0x200300c0 (60 Bytes)", "PA 0x1ffec100 -> VA 0x20032100 (36 Bytes)"}));
}

TEST(AcpiDumpReplay, UnalignedRsdtIsPlacedAtItsOddAddress)
{
    Driver driver = Replay(kDumps + "unaligned_rsdt.txt");
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_EQ(text.substr(text.find("ACPI V1")), Lines({"ACPI V1 BIOS detected",
                                                        "RSDT @ VA 0x20026a49 (PA 0x3beb2a49)",
                                                        "Analyzing RSDT...",
                                                        "  Remapping 'RSDT', 44 Bytes from VA 0x20026a49",
                                                        "  OEMID:'PTLTD '",
                                                        "  OEM Table ID:'  RSDT  '",
                                                        "  Table remapped to VA 0x20028a49 (PA 0x3beb2a49)",
                                                        "Table found at PA 0x3beb6910...",
                                                        "  Remapping 'FACP', 116 Bytes from VA 0x2002a910",
                                                        "  OEMID:'DELL  '",
                                                        "  OEM Table ID:'CPi R   '",
                                                        "  Table remapped to VA 0x2002c910 (PA 0x3beb6910)",
                                                        "Table found at PA 0x3beb6a78...",
                                                        "  Remapping 'SSDT', 66 Bytes from VA 0x2002ea78",
                                                        "  OEMID:'PTLTD '",
                                                        "  OEM Table ID:'POWERNOW'",
                                                        "  Table remapped to VA 0x20030a78 (PA 0x3beb6a78)",
                                                        "",
                                                        "PA->VA Mappings:",
                                                        "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                                        "PA 0x3beb2a49 -> VA 0x20028a49 (44 Bytes)",
                                                        "PA 0x3beb6910 -> VA 0x2002c910 (116 Bytes)",
                                                        "PA 0x3beb6a78 -> VA 0x20030a78 (66 Bytes)"}));
}

TEST(AcpiDumpReplay, OverlappingTablesThatAgreeArePlacedAndOnesThatDifferAreRefused)
{
    // Firmware whose APIC starts inside its FACP: acpidump shows the shared
    // bytes in both blocks.
    std::vector<uint8_t> facp = Table("FACP", 0x40);
    const std::vector<uint8_t> apic = Table("APIC", 0x30);
    std::copy(apic.begin(), apic.begin() + 0x20, facp.begin() + 0x20);
    const std::string agree = Block("FACP @ 0x00100000", facp) + Block("APIC @ 0x00100020", apic);
    zhost::Machine machine;
    zhost::PlaceAcpiDump(machine, Parse(agree), "dump.txt");
    EXPECT_EQ(machine.memory.read(0x100020, 0x30), apic);
    EXPECT_EQ(machine.memory.read(0x100000, 0x20), std::vector<uint8_t>(facp.begin(), facp.begin() + 0x20));

    const std::string differ = Block("FACP @ 0x00100000", Table("FACP", 0x40)) + Block("APIC @ 0x00100020", apic);
    try {
        zhost::PlaceAcpiDump(machine, Parse(differ), "dump.txt");
        ADD_FAILURE() << "overlap accepted";
    } catch (const zhost::DumpError& error) {
        EXPECT_STREQ(error.what(),
                     "dump.txt: line 7: APIC at 0x100020 overlaps FACP at 0x100000 (line 1) and differs at 0x100020");
    }
}

TEST(AcpiDumpReplay, RsdpInTheEbdaAimsTheEbdaPointerAtIt)
{
    const std::string text = Block("RSD PTR @ 0x9fc30", Rsdp(0x100000)) + Block("RSDT @ 0x100000", Table("RSDT", 36));
    Driver driver(zhost::BareProfile());
    zhost::PlaceAcpiDump(*driver.machine, Parse(text), "dump.txt");
    EXPECT_EQ(driver.machine->memory.read(0x40E, 2), (std::vector<uint8_t>{0xC0, 0x9F}));
    driver.startAndOpen();
    const std::string expected =
        Lines({"Searching EBDA for signature...", "Searching VA 0x20024c00, 1024 Bytes...",
               "Sig found at VA 0x20024c30", "ACPI V1 BIOS detected", "RSDT @ VA 0x20026000 (PA 0x00100000)"});
    EXPECT_EQ(AcpiReport(driver).substr(0, expected.size()), expected);

    // A pointer that already covers the RSDP is the firmware's own: kept.
    zhost::Machine machine;
    const uint8_t segment[2] = {0x80, 0x9F}; // 0x9F800: the RSDP lies in its first KB
    machine.memory.write(0x40E, segment);
    zhost::PlaceAcpiDump(
        machine, Parse(Block("RSD PTR @ 0x9fa00", Rsdp(0x100000)) + Block("RSDT @ 0x100000", Table("RSDT", 36))),
        "dump.txt");
    EXPECT_EQ(machine.memory.read(0x40E, 2), (std::vector<uint8_t>{0x80, 0x9F}));
}

TEST(AcpiDumpReplay, TablesAbove4GiBAreLeftOut)
{
    zhost::Machine machine;
    zhost::PlaceAcpiDump(machine,
                         Parse(Block("SSDT @ 0x0000000100000000", Table("SSDT", 36)) +
                               Block("SSDT @ 0x00000000FFFFFFF0", Table("SSDT", 36))),
                         "dump.txt");
    EXPECT_TRUE(machine.memory.populatedRanges().empty());
}

// ---- SMBIOS ---------------------------------------------------------------

std::vector<uint8_t> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SmbiosDumpReplay, EntryPointOfLength0x20IsPlacedWholeWithItsChecksums)
{
    Driver driver(zhost::BareProfile());
    const auto placed = zhost::ImportSmbiosDump(*driver.machine, kDumps + "entry_length_0x20.bin");
    EXPECT_EQ(placed.entryPoint, 0xF0000u);
    EXPECT_EQ(placed.table, 0xF0030u); // behind the entry point and a 16-byte gap
    const std::vector<uint8_t> entry = driver.machine->memory.read(placed.entryPoint, 0x20);
    EXPECT_EQ(Long(entry, 0x18), placed.table);
    EXPECT_EQ(entry[0x1F], 0xAA) << "the 32nd byte is part of the entry point";
    uint8_t sum = 0, intermediate = 0;
    for (size_t i = 0; i < 0x20; ++i)
        sum = static_cast<uint8_t>(sum + entry[i]);
    for (size_t i = 0x10; i < 0x1F; ++i)
        intermediate = static_cast<uint8_t>(intermediate + entry[i]);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(intermediate, 0);
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
    uint8_t sum = 0;
    for (uint8_t b : dump)
        sum = static_cast<uint8_t>(sum + b);
    dump[5] = static_cast<uint8_t>(-sum);
    dump.resize(0x20, 0);
    dump.insert(dump.end(), {127, 4, 0, 0, 0, 0});
    Driver driver(zhost::BareProfile());
    const auto placed = zhost::PlaceSmbiosDump(*driver.machine, dump, "sm3.bin");
    const std::vector<uint8_t> entry = driver.machine->memory.read(placed.entryPoint, 0x18);
    EXPECT_EQ(Long(entry, 0x10), placed.table);
    EXPECT_EQ(driver.machine->memory.read(placed.table, 6), (std::vector<uint8_t>{127, 4, 0, 0, 0, 0}));
    driver.startAndOpen();
    EXPECT_EQ(SmbiosReport(driver), "*** Error: No SMBIOS found ***");
}

TEST(SmbiosDumpReplay, PlacementKeepsClearOfFirmwareAlreadyThere)
{
    const std::vector<uint8_t> dump = ReadFile(kDumps + "entry_length_0x20.bin");
    zhost::Machine machine;
    // An RSDP at the segment's start, and BIOS code filling it from 0xF0400.
    machine.memory.write(0xF0000, Rsdp(0x100000));
    machine.memory.write(0xF0400, std::vector<uint8_t>(0xFC00, 0x90));
    const auto placed = zhost::PlaceSmbiosDump(machine, dump, "smbios.bin");
    EXPECT_EQ(placed.entryPoint, 0xF0030u);
    EXPECT_EQ(placed.table, 0xF0060u);

    zhost::Machine full;
    full.memory.write(0xF0000, std::vector<uint8_t>(0xFF80, 0x90));
    const auto high = zhost::PlaceSmbiosDump(full, dump, "smbios.bin");
    EXPECT_EQ(high.entryPoint, 0xFFF90u);
    EXPECT_EQ(high.table, 0x100000u) << "no room behind the entry point: the first free page above 1 MiB";
}

TEST(SmbiosDumpReplay, DumpFromTheDefaultNotebookGivesItsReport)
{
    // The entry point and table as dmidecode --dump-bin writes them. One
    // kernel at a time: the host kernel has one virtual range.
    std::vector<uint8_t> dump;
    std::string report;
    {
        Driver original;
        const std::vector<uint8_t> entry = original.machine->memory.read(0xFC7A0, 0x1F);
        dump = entry;
        const uint32_t table = Long(entry, 0x18);
        const uint16_t length = static_cast<uint16_t>(entry[0x16] | entry[0x17] << 8);
        dump[0x18] = 0x20, dump[0x19] = dump[0x1A] = dump[0x1B] = 0;
        dump[0x15] = static_cast<uint8_t>(dump[0x15] + (table & 0xFF) + (table >> 8 & 0xFF) + (table >> 16 & 0xFF) +
                                          (table >> 24) - 0x20);
        dump.resize(0x20, 0);
        const std::vector<uint8_t> structures = original.machine->memory.read(table, length);
        dump.insert(dump.end(), structures.begin(), structures.end());
        original.startAndOpen();
        report = SmbiosReport(original);
    }
    EXPECT_NE(report.find("Product name: Voyager 4200\r\n"), std::string::npos);
    Driver replay(zhost::ProfileForDumps(zhost::DefaultNotebookProfile(), true, false));
    zhost::PlaceSmbiosDump(*replay.machine, dump, "notebook.bin");
    replay.startAndOpen();
    EXPECT_EQ(SmbiosReport(replay), report);
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
    EXPECT_EQ(machine.memory.populatedRanges(),
              (std::vector<std::pair<uint32_t, uint32_t>>{{0xF6000, 0x1000}, {0x7FF0000, 0x1000}}));
    EXPECT_EQ(machine.memory.read(0xF6A10, 8), (std::vector<uint8_t>{'R', 'S', 'D', ' ', 'P', 'T', 'R', ' '}));
    EXPECT_EQ(machine.memory.byte(0x7FF0000), 'X');
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
