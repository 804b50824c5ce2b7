// The ACPI survey's texts on firmware as real machines have it, and what it
// leaves mapped.
#include "acpi_fixture.h"

#include "machine/acpi_builder.h"

namespace ztest {
namespace {

const std::string kDefaultSurvey = Lines({
    "Searching EBDA for signature...",
    "Searching VA 0x20024c00, 1024 Bytes...",
    "Searching BIOS area for signature...",
    "Searching VA 0x20001000, 131072 Bytes...",
    "Sig found at VA 0x20017a10",
    "ACPI V2 BIOS detected",
    "XSDT @ VA 0x20026080 (PA 0x1fff0080)",
    "Analyzing XSDT...",
    "  Remapping 'XSDT', 108 Bytes from VA 0x20026080",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x20028080 (PA 0x1fff0080)",
    "Table found at PA 0x1fff0100 ...",
    "  Remapping 'FACP', 244 Bytes from VA 0x2002a100",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x2002c100 (PA 0x1fff0100)",
    "Table found at PA 0x1fff0200 ...",
    "  Remapping 'APIC', 84 Bytes from VA 0x2002e200",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x20030200 (PA 0x1fff0200)",
    "Table found at PA 0x1fff0260 ...",
    "  Remapping 'HPET', 56 Bytes from VA 0x20032260",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x20034260 (PA 0x1fff0260)",
    "Table found at PA 0x1fff02a0 ...",
    "  Remapping 'MCFG', 60 Bytes from VA 0x200362a0",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x200382a0 (PA 0x1fff02a0)",
    "Table found at PA 0x1fff02e0 ...",
    "  Remapping 'TCPA', 50 Bytes from VA 0x2003a2e0",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x2003c2e0 (PA 0x1fff02e0)",
    "Table found at PA 0x1fff0320 ...",
    "  Remapping 'SSDT', 726 Bytes from VA 0x2003e320",
    "  OEMID:'PmRef'",
    "  OEM Table ID:'CpuPm'",
    "  Table remapped to VA 0x20040320 (PA 0x1fff0320)",
    "Table found at PA 0x1fff0600 ...",
    "  Remapping 'SSDT', 436 Bytes from VA 0x20042600",
    "  OEMID:'PmRef'",
    "  OEM Table ID:'Cpu0Ist'",
    "  Table remapped to VA 0x20044600 (PA 0x1fff0600)",
    "Table found at PA 0x000e9f80 ...",
    "  Remapping 'BOOT', 40 Bytes from VA 0x2000af80",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x2000af80 (PA 0x000e9f80)",
    "Table found at PA 0x0009fe40 ...",
    "  Remapping 'ECDT', 82 Bytes from VA 0x20046e40",
    "  OEMID:'ZERLO '",
    "  OEM Table ID:'ALVISO  '",
    "  Table remapped to VA 0x20048e40 (PA 0x0009fe40)",
    "",
    "PA->VA Mappings:",
    "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
    "PA 0x1fff0080 -> VA 0x20028080 (108 Bytes)",
    "PA 0x1fff0100 -> VA 0x2002c100 (244 Bytes)",
    "PA 0x1fff0200 -> VA 0x20030200 (84 Bytes)",
    "PA 0x1fff0260 -> VA 0x20034260 (56 Bytes)",
    "PA 0x1fff02a0 -> VA 0x200382a0 (60 Bytes)",
    "PA 0x1fff02e0 -> VA 0x2003c2e0 (50 Bytes)",
    "PA 0x1fff0320 -> VA 0x20040320 (726 Bytes)",
    "PA 0x1fff0600 -> VA 0x20044600 (436 Bytes)",
    "PA 0x0009fe40 -> VA 0x20048e40 (82 Bytes)",
});

const std::vector<std::pair<uint32_t, uint32_t>> kDefaultLive = {
    {0x0009fe40, 82}, {0x000e0000, 0x20000}, {0x1fff0080, 108}, {0x1fff0100, 244}, {0x1fff0200, 84},
    {0x1fff0260, 56}, {0x1fff02a0, 60},      {0x1fff02e0, 50},  {0x1fff0320, 726}, {0x1fff0600, 436},
};

TEST(AcpiSurvey, DefaultNotebookWalksTheXsdtAndListsItsMappings)
{
    Driver driver;
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), kDefaultSurvey);
    EXPECT_EQ(LiveRanges(driver), kDefaultLive);
}

TEST(AcpiSurvey, NoRsdpAnywhereEndsWithTheErrorAndNoMappingList)
{
    Driver driver(zhost::BareProfile());
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "*** ERROR: No ACPI BIOS found ***",
                                  }));
    EXPECT_EQ(LiveRanges(driver), (std::vector<std::pair<uint32_t, uint32_t>>{{0xE0000, 0x20000}}));
}

TEST(AcpiSurvey, RsdpOnlyAboveOneMegabyteIsNotFound)
{
    Driver driver(AcpiProfile("rsdp_above_1mib"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "*** ERROR: No ACPI BIOS found ***",
                                  }));
}

// A bad copy 16 bytes before the RSDP in the EBDA, an RSDT at an unaligned
// address, a table inside an earlier one's mapping, one whose header lies
// inside it but whose length reaches beyond, one in the BIOS window, and a
// table listed twice.
TEST(AcpiSurvey, AcpiOneFirmwareWithItsQuirks)
{
    Driver driver(AcpiProfile("v1_rsdt_quirks"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024c00, 1024 Bytes...",
                                      "Sig found at VA 0x20024c20",
                                      "Sig found at VA 0x20024c30",
                                      "ACPI V1 BIOS detected",
                                      "RSDT @ VA 0x20026a0c (PA 0x0fff3a0c)",
                                      "Analyzing RSDT...",
                                      "  Remapping 'RSDT', 60 Bytes from VA 0x20026a0c",
                                      "  OEMID:'QUIRKY'",
                                      "  OEM Table ID:'SPEEDSTP'",
                                      "  Table remapped to VA 0x20028a0c (PA 0x0fff3a0c)",
                                      "Table found at PA 0x0fff3b00...",
                                      "  Remapping 'FACP', 116 Bytes from VA 0x2002ab00",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x2002cb00 (PA 0x0fff3b00)",
                                      "Table found at PA 0x0fff4000...",
                                      "  Remapping 'SSDT', 1024 Bytes from VA 0x2002e000",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'CpuPm'",
                                      "  Table remapped to VA 0x20030000 (PA 0x0fff4000)",
                                      "Table found at PA 0x0fff4100...",
                                      "  Remapping 'SSDT', 128 Bytes from VA 0x20030100",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'Cpu0Cst'",
                                      "  Table remapped to VA 0x20030100 (PA 0x0fff4100)",
                                      "Table found at PA 0x0fff43c0...",
                                      "  Remapping 'SSDT', 128 Bytes from VA 0x200303c0",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'Cpu0Ist'",
                                      "  Table remapped to VA 0x200323c0 (PA 0x0fff43c0)",
                                      "Table found at PA 0x000fe300...",
                                      "  Remapping 'BOOT', 40 Bytes from VA 0x2001f300",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'BOOTFLAG'",
                                      "  Table remapped to VA 0x2001f300 (PA 0x000fe300)",
                                      "Table found at PA 0x0fff4100...",
                                      "  Remapping 'SSDT', 128 Bytes from VA 0x20030100",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'Cpu0Cst'",
                                      "  Table remapped to VA 0x20030100 (PA 0x0fff4100)",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x0fff3a0c -> VA 0x20028a0c (60 Bytes)",
                                      "PA 0x0fff3b00 -> VA 0x2002cb00 (116 Bytes)",
                                      "PA 0x0fff4000 -> VA 0x20030000 (1024 Bytes)",
                                      "PA 0x0fff43c0 -> VA 0x200323c0 (128 Bytes)",
                                  }));
}

// A revision-1 RSDP before the real one, an RSDT that lists other tables
// than the XSDT, and an XSDT entry whose high half is set: that entry is
// not mapped (its low half would name other memory) and the walk goes on.
TEST(AcpiSurvey, AcpiTwoFirmwareWalksTheXsdtAndSkipsAnEntryAboveFourGigabytes)
{
    Driver driver(AcpiProfile("v2_xsdt_quirks"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024800, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x2001b6e0",
                                      "ACPI V2 BIOS detected",
                                      "XSDT @ VA 0x20026040 (PA 0x3fee0040)",
                                      "Analyzing XSDT...",
                                      "  Remapping 'XSDT', 76 Bytes from VA 0x20026040",
                                      "  OEMID:'MODERN'",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028040 (PA 0x3fee0040)",
                                      "Table found at PA 0x3fee0100 ...",
                                      "  Remapping 'FACP', 244 Bytes from VA 0x2002a100",
                                      "  OEMID:'MODERN'",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x2002c100 (PA 0x3fee0100)",
                                      "*** ERROR: Table at PA 0x0000000100000000 is above 4 GB, not mapped ***",
                                      "Table found at PA 0x3fee0200 ...",
                                      "  Remapping 'APIC', 84 Bytes from VA 0x2002e200",
                                      "  OEMID:'MODERN'",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20030200 (PA 0x3fee0200)",
                                      "Table found at PA 0x3fee0280 ...",
                                      "  Remapping 'HPET', 56 Bytes from VA 0x20032280",
                                      "  OEMID:'MODERN'",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20034280 (PA 0x3fee0280)",
                                      "Table found at PA 0x3fee02c0 ...",
                                      "  Remapping 'MCFG', 60 Bytes from VA 0x200362c0",
                                      "  OEMID:'MODERN'",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x200382c0 (PA 0x3fee02c0)",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x3fee0040 -> VA 0x20028040 (76 Bytes)",
                                      "PA 0x3fee0100 -> VA 0x2002c100 (244 Bytes)",
                                      "PA 0x3fee0200 -> VA 0x20030200 (84 Bytes)",
                                      "PA 0x3fee0280 -> VA 0x20034280 (56 Bytes)",
                                      "PA 0x3fee02c0 -> VA 0x200382c0 (60 Bytes)",
                                  }));
}

TEST(AcpiSurvey, XsdtHighHalfInTheEbdaRsdpGoesOnToTheBiosAreaOnTheSameLine)
{
    Driver driver(AcpiProfile("xsdt_highpart"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024c00, 1024 Bytes...",
                                      "Sig found at VA 0x20024c00",
                                      "*** ERROR: XSDT highpart in RSDP is not zero ! ***"
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x20018c30",
                                      "ACPI V1 BIOS detected",
                                      "RSDT @ VA 0x20026000 (PA 0x07fe0000)",
                                      "Analyzing RSDT...",
                                      "  Remapping 'RSDT', 40 Bytes from VA 0x20026000",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028000 (PA 0x07fe0000)",
                                      "Table found at PA 0x07fe0100...",
                                      "  Remapping 'FACP', 116 Bytes from VA 0x2002a100",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x2002c100 (PA 0x07fe0100)",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x07fe0000 -> VA 0x20028000 (40 Bytes)",
                                      "PA 0x07fe0100 -> VA 0x2002c100 (116 Bytes)",
                                  }));
}

TEST(AcpiSurvey, XsdtHighHalfInTheBiosAreaRunsIntoTheNoAcpiError)
{
    Driver driver(AcpiProfile("xsdt_highpart"));
    // The ACPI 1.0 RSDP in the BIOS area is gone; the EBDA copy moves there.
    const std::vector<uint8_t> ebdaRsdp = driver.machine->memory.read(0x9FC00, 36);
    driver.machine->memory.write(0x9FC00, std::vector<uint8_t>(36, 0));
    driver.machine->memory.write(0xF7C30, ebdaRsdp);
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024c00, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x20018c30",
                                      "*** ERROR: XSDT highpart in RSDP is not zero ! ***"
                                      "*** ERROR: No ACPI BIOS found ***",
                                  }));
}

TEST(AcpiSurvey, RsdtOfLength36ListsNothing)
{
    Driver driver(AcpiProfile("rsdt_length_36"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x2001f020",
                                      "ACPI V1 BIOS detected",
                                      "RSDT @ VA 0x20026000 (PA 0x07fe0000)",
                                      "Analyzing RSDT...",
                                      "  Remapping 'RSDT', 36 Bytes from VA 0x20026000",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028000 (PA 0x07fe0000)",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x07fe0000 -> VA 0x20028000 (36 Bytes)",
                                  }));
}

TEST(AcpiSurvey, RsdtOfLength46IsNotWalked)
{
    Driver driver(AcpiProfile("rsdt_length_46"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x20016b40",
                                      "ACPI V1 BIOS detected",
                                      "RSDT @ VA 0x20026000 (PA 0x07fe0000)",
                                      "Analyzing RSDT...",
                                      "  Remapping 'RSDT', 46 Bytes from VA 0x20026000",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028000 (PA 0x07fe0000)",
                                      "RSDT size not DWORD aligned",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x07fe0000 -> VA 0x20028000 (46 Bytes)",
                                  }));
}

TEST(AcpiSurvey, XsdtOfLength48IsNotWalked)
{
    Driver driver(AcpiProfile("xsdt_length_48"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x2001a000",
                                      "ACPI V2 BIOS detected",
                                      "XSDT @ VA 0x20026040 (PA 0x1ff00040)",
                                      "Analyzing XSDT...",
                                      "  Remapping 'XSDT', 48 Bytes from VA 0x20026040",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028040 (PA 0x1ff00040)",
                                      "XSDT size not DWORD aligned",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x1ff00040 -> VA 0x20028040 (48 Bytes)",
                                  }));
}

TEST(AcpiSurvey, TableShorterThanItsHeaderIsDescribedAndTheWalkGoesOn)
{
    Driver driver(AcpiProfile("short_table"));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x20005410",
                                      "ACPI V1 BIOS detected",
                                      "RSDT @ VA 0x20026000 (PA 0x07fe0000)",
                                      "Analyzing RSDT...",
                                      "  Remapping 'RSDT', 48 Bytes from VA 0x20026000",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028000 (PA 0x07fe0000)",
                                      "Table found at PA 0x07fe0100...",
                                      "  Remapping 'FACP', 116 Bytes from VA 0x2002a100",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x2002c100 (PA 0x07fe0100)",
                                      "Table found at PA 0x07fe0200...",
                                      "  Remapping 'OEM1', 20 Bytes from VA 0x2002e200",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "*** ERROR: Length 20 is shorter than the 36-byte header ***",
                                      "Table found at PA 0x07fe0300...",
                                      "  Remapping 'APIC', 84 Bytes from VA 0x20030300",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20032300 (PA 0x07fe0300)",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x07fe0000 -> VA 0x20028000 (48 Bytes)",
                                      "PA 0x07fe0100 -> VA 0x2002c100 (116 Bytes)",
                                      "PA 0x07fe0200 -> VA 0x2002e200 (36 Bytes)",
                                      "PA 0x07fe0300 -> VA 0x20032300 (84 Bytes)",
                                  }));
}

// Found by the firmware fuzzer: a table claiming hundreds of megabytes was
// mapped at that length to read its header. Up to 1 MiB is mapped as
// claimed; beyond it the header's own mapping stays and the walk goes on.
TEST(AcpiSurvey, TableLongerThanOneMegabyteIsNotRemappedAndTheWalkGoesOn)
{
    Driver driver(AcpiProfile("short_table"));
    driver.machine->memory.write(0x07FE0204, std::vector<uint8_t>{0x01, 0x00, 0x10, 0x00});
    driver.machine->memory.write(0x07FE0304, std::vector<uint8_t>{0x00, 0x00, 0x10, 0x00});
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024000, 1024 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "Sig found at VA 0x20005410",
                                      "ACPI V1 BIOS detected",
                                      "RSDT @ VA 0x20026000 (PA 0x07fe0000)",
                                      "Analyzing RSDT...",
                                      "  Remapping 'RSDT', 48 Bytes from VA 0x20026000",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20028000 (PA 0x07fe0000)",
                                      "Table found at PA 0x07fe0100...",
                                      "  Remapping 'FACP', 116 Bytes from VA 0x2002a100",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x2002c100 (PA 0x07fe0100)",
                                      "Table found at PA 0x07fe0200...",
                                      "  Remapping 'OEM1', 1048577 Bytes from VA 0x2002e200",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "*** ERROR: Length 1048577 is longer than 1048576 Bytes, not remapped ***",
                                      "Table found at PA 0x07fe0300...",
                                      "  Remapping 'APIC', 1048576 Bytes from VA 0x20030300",
                                      "  OEMID:'ZERLO '",
                                      "  OEM Table ID:'ALVISO  '",
                                      "  Table remapped to VA 0x20032300 (PA 0x07fe0300)",
                                      "",
                                      "PA->VA Mappings:",
                                      "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                                      "PA 0x07fe0000 -> VA 0x20028000 (48 Bytes)",
                                      "PA 0x07fe0100 -> VA 0x2002c100 (116 Bytes)",
                                      "PA 0x07fe0200 -> VA 0x2002e200 (36 Bytes)",
                                      "PA 0x07fe0300 -> VA 0x20032300 (1048576 Bytes)",
                                  }));
}

TEST(AcpiSurvey, RootLongerThanOneMegabyteWalksNoEntry)
{
    Driver driver(AcpiProfile("rsdt_length_46"));
    driver.machine->memory.write(0x07FE0004, std::vector<uint8_t>{0xF0, 0xFF, 0xFF, 0x3F});
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_NE(text.find(Lines({
                  "Analyzing RSDT...",
                  "  Remapping 'RSDT', 1073741808 Bytes from VA 0x20026000",
                  "  OEMID:'ZERLO '",
                  "  OEM Table ID:'ALVISO  '",
                  "*** ERROR: Length 1073741808 is longer than 1048576 Bytes, not remapped ***",
                  "",
                  "PA->VA Mappings:",
                  "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                  "PA 0x07fe0000 -> VA 0x20026000 (36 Bytes)",
              })),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Table found"), std::string::npos);
    driver.kernel->close(driver.handle);
    driver.kernel->unload();
    EXPECT_TRUE(driver.kernel->liveMappings().empty());
}

TEST(AcpiSurvey, RootShorterThanItsHeaderWalksNoEntry)
{
    Driver driver(AcpiProfile("rsdt_length_46"));
    driver.machine->memory.write(0x07FE0004, std::vector<uint8_t>{8, 0, 0, 0});
    driver.startAndOpen();
    const std::string text = AcpiReport(driver);
    EXPECT_NE(text.find(Lines({
                  "Analyzing RSDT...",
                  "  Remapping 'RSDT', 8 Bytes from VA 0x20026000",
                  "  OEMID:'ZERLO '",
                  "  OEM Table ID:'ALVISO  '",
                  "*** ERROR: Length 8 is shorter than the 36-byte header ***",
                  "",
                  "PA->VA Mappings:",
                  "PA 0x000e0000 -> VA 0x20001000 (131072 Bytes)",
                  "PA 0x07fe0000 -> VA 0x20026000 (36 Bytes)",
              })),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Table found"), std::string::npos);
}

// The EBDA segment 0x9FFC leaves 64 bytes before 0xA0000. Without the valid
// RSDP at its start, what remains are an RSDP 16 bytes before the end of the
// EBDA and one 16 bytes before the end of the BIOS window: both would be read
// past their range, so neither is examined.
TEST(AcpiSurvey, CandidatesRunningPastTheirRangeAreNotExamined)
{
    {
        Driver withValid(AcpiProfile("rsdp_at_range_ends"));
        withValid.startAndOpen();
        EXPECT_EQ(AcpiReport(withValid).rfind(Lines({
                                                  "Searching EBDA for signature...",
                                                  "Searching VA 0x20024fc0, 64 Bytes...",
                                                  "Sig found at VA 0x20024fc0",
                                                  "ACPI V1 BIOS detected",
                                              }),
                                              0),
                  0u);
    }

    Driver driver(AcpiProfile("rsdp_at_range_ends"));
    driver.machine->memory.write(0x9FFC0, std::vector<uint8_t>(20, 0));
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver), Lines({
                                      "Searching EBDA for signature...",
                                      "Searching VA 0x20024fc0, 64 Bytes...",
                                      "Searching BIOS area for signature...",
                                      "Searching VA 0x20001000, 131072 Bytes...",
                                      "*** ERROR: No ACPI BIOS found ***",
                                  }));
}

TEST(AcpiSurvey, EbdaSegmentBelowTheBiosDataAreaMeansPhysicalZero)
{
    Driver driver(AcpiProfile("rsdt_length_36"));
    zhost::AcpiFirmware firmware;
    firmware.ebdaSegment = 0x003F; // 0x3F0: inside the interrupt vectors
    zhost::AcpiRsdpLayout rsdp;
    rsdp.address = 0x100;
    rsdp.revision = 0;
    rsdp.rsdt = zhost::AcpiReference{"", 0x07FE0000};
    firmware.rsdps.push_back(rsdp);
    zhost::PlaceAcpiFirmware(driver.machine->memory, firmware);
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver).rfind(Lines({
                                           "Searching EBDA for signature...",
                                           "Searching VA 0x20024000, 1024 Bytes...",
                                           "Sig found at VA 0x20024100",
                                           "ACPI V1 BIOS detected",
                                           "RSDT @ VA 0x20026000 (PA 0x07fe0000)",
                                       }),
                                       0),
              0u);
}

} // namespace
} // namespace ztest
