// The ACPI survey's texts on firmware as real machines have it, and what it
// leaves mapped.
#include "acpi_fixture.h"
#include "reply_compare.h"

#include <tuple>

namespace ztest {
namespace {

std::string X(uint32_t pa, const char* signature, unsigned length, uint32_t from, uint32_t to,
              const char* oemId = "ZERLO ", const char* tableId = "ALVISO  ")
{
    return Entry("XSDT", pa, signature, length, from, to, oemId, tableId);
}

TEST(AcpiSurvey, DefaultNotebookWalksTheXsdtAndListsItsMappings)
{
    Driver driver;
    driver.startAndOpen();
    driver.kernel->probe().clearJournal();
    // The walk and its mappings are the point, not where the host put them.
    EXPECT_EQ(
        NormaliseAddresses(AcpiReport(driver)),
        NormaliseAddresses(
            EbdaSearch(0x20024c00) + kBiosSearch + "Sig found at VA 0x20017a10\r\n" +
            Root("XSDT", 0x20026080, 0x1fff0080) + Table("XSDT", 108, 0x20026080, 0x20028080, 0x1fff0080) +
            X(0x1fff0100, "FACP", 244, 0x2002a100, 0x2002c100) + X(0x1fff0200, "APIC", 84, 0x2002e200, 0x20030200) +
            X(0x1fff0260, "HPET", 56, 0x20032260, 0x20034260) + X(0x1fff02a0, "MCFG", 60, 0x200362a0, 0x200382a0) +
            X(0x1fff02e0, "TCPA", 50, 0x2003a2e0, 0x2003c2e0) +
            X(0x1fff0320, "SSDT", 726, 0x2003e320, 0x20040320, "PmRef", "CpuPm") +
            X(0x1fff0600, "SSDT", 436, 0x20042600, 0x20044600, "PmRef", "Cpu0Ist") +
            X(0x000e9f80, "BOOT", 40, 0x2000af80, 0x2000af80) + X(0x0009fe40, "ECDT", 82, 0x20046e40, 0x20048e40) +
            Mappings({kWindowRow,
                      {0x1fff0080, 0x20028080, 108},
                      {0x1fff0100, 0x2002c100, 244},
                      {0x1fff0200, 0x20030200, 84},
                      {0x1fff0260, 0x20034260, 56},
                      {0x1fff02a0, 0x200382a0, 60},
                      {0x1fff02e0, 0x2003c2e0, 50},
                      {0x1fff0320, 0x20040320, 726},
                      {0x1fff0600, 0x20044600, 436},
                      {0x0009fe40, 0x20048e40, 82}})));
    // Two calls for the first search area (the EBDA segment word, then the
    // area), then a header and a remap for each table outside the BIOS
    // window: nothing that a live mapping holds is mapped again.
    const auto journal = driver.kernel->probe().journal();
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                            [](const std::string& line) { return line.starts_with("MmMapIoSpace"); }),
              2 + 2 * 9);
}

const std::string kHighPartError = "*** ERROR: XSDT highpart in RSDP is not zero ! ***";

TEST(AcpiSurvey, XsdtHighHalfInTheBiosAreaRunsIntoTheNoAcpiError)
{
    Driver driver(AcpiProfile("xsdt_highpart"));
    // The ACPI 1.0 RSDP in the BIOS area is gone; the EBDA copy moves there.
    const std::vector<uint8_t> ebdaRsdp = driver.machine->memory()->read(0x9FC00, 36);
    driver.machine->memory()->write(0x9FC00, std::vector<uint8_t>(36, 0));
    driver.machine->memory()->write(0xF7C30, ebdaRsdp);
    driver.startAndOpen();
    EXPECT_EQ(AcpiReport(driver),
              EbdaSearch(0x20024c00) + kBiosSearch + "Sig found at VA 0x20018c30\r\n" + kHighPartError + kNoAcpi);
}

// A root with no whole entry lists nothing; one whose entries are not whole
// DWORDs (RSDT) or QWORDs (XSDT) is not walked.
TEST(AcpiSurvey, RootWithoutWholeEntriesWalksNoEntry)
{
    struct Case {
        const char* profile;
        uint32_t sig;
        const char* root;
        uint32_t va, pa;
        unsigned length;
        const char* line;
    };
    // The last: an XSDT of exactly 1 MiB, the longest that is mapped and
    // walked, whose 1048540 entry bytes are no whole number of QWORDs.
    for (const Case& c :
         {Case{"rsdt_length_36", 0x2001f020, "RSDT", 0x20026000, 0x07fe0000, 36, ""},
          Case{"rsdt_length_46", 0x20016b40, "RSDT", 0x20026000, 0x07fe0000, 46, "RSDT size not DWORD aligned\r\n"},
          Case{"xsdt_length_48", 0x2001a000, "XSDT", 0x20026040, 0x1ff00040, 48, "XSDT size not DWORD aligned\r\n"},
          Case{"xsdt_length_48", 0x2001a000, "XSDT", 0x20026040, 0x1ff00040, 0x100000,
               "XSDT size not DWORD aligned\r\n"}}) {
        SCOPED_TRACE(c.length);
        Driver driver(AcpiProfile(c.profile));
        driver.machine->memory()->write(
            c.pa + 4, std::vector<uint8_t>{uint8_t(c.length), uint8_t(c.length >> 8), uint8_t(c.length >> 16), 0});
        driver.startAndOpen();
        EXPECT_EQ(AcpiReport(driver), EbdaSearch(0x20024000) + kBiosSearch + Fmt("Sig found at VA 0x%08x\r\n", c.sig) +
                                          Root(c.root, c.va, c.pa) +
                                          Table(c.root, c.length, c.va, c.va + 0x2000, c.pa) + c.line +
                                          Mappings({kWindowRow, {c.pa, c.va + 0x2000, c.length}}));
    }
}

// Found by the firmware fuzzer: a root claiming a gigabyte was mapped at
// that length. A root too long or too short keeps its header's mapping, is
// listed at that, walks no entry, and is released at unload.
TEST(AcpiSurvey, RootOutsideItsLengthBoundsWalksNoEntry)
{
    for (const auto& [length, error] : std::vector<std::pair<uint32_t, std::string>>{
             {0x3FFFFFF0, "longer than 1048576 Bytes, not remapped"}, {8, "shorter than the 36-byte header"}}) {
        Driver driver(AcpiProfile("rsdt_length_46"));
        driver.machine->memory()->write(0x07FE0004, std::vector<uint8_t>{uint8_t(length), uint8_t(length >> 8),
                                                                         uint8_t(length >> 16), uint8_t(length >> 24)});
        driver.startAndOpen();
        EXPECT_EQ(AcpiReport(driver), EbdaSearch(0x20024000) + kBiosSearch + "Sig found at VA 0x20016b40\r\n" +
                                          Root("RSDT", 0x20026000, 0x07fe0000) + Header("RSDT", length, 0x20026000) +
                                          Fmt("*** ERROR: Length %u is %s ***\r\n", length, error.c_str()) +
                                          Mappings({kWindowRow, {0x07fe0000, 0x20026000, 36}}));
        driver.kernel->close(driver.handle);
        driver.kernel->unload();
        EXPECT_TRUE(driver.kernel->probe().liveMappings().empty());
    }
}

std::string SurveyOf(const zhost::AcpiFirmware& firmware)
{
    Driver driver(zhost::BareProfile());
    zhost::PlaceAcpiFirmware(*driver.machine->memory(), firmware);
    driver.startAndOpen();
    return NormaliseAddresses(AcpiReport(driver));
}

// The start of a survey of RsdtListing firmware; the virtual addresses from
// here on are placeholders, compared after normalising.
std::string ListingStart(unsigned rsdtLength)
{
    return EbdaSearch(0x20024000) + kBiosSearch + "Sig found at VA 0x00000001\r\n" + Root("RSDT", 2, 0x07fe0000) +
           Table("RSDT", rsdtLength, 2, 3, 0x07fe0000);
}

// A 36-byte header that would end past 4 GiB is not mapped; a table whose
// header fits below it but whose Length reaches past it is not remapped.
TEST(AcpiSurvey, RangesReachingAboveFourGigabytesAreNotMapped)
{
    EXPECT_EQ(
        SurveyOf(RsdtListing({{0xFFFFFFF0, 0}, {0xFFFFF000, 0x2000}})),
        NormaliseAddresses(ListingStart(44) + Found(0xfffffff0) +
                           "*** ERROR: Table at PA 0xfffffff0, 36 Bytes reaches above 4 GB, not mapped ***\r\n" +
                           Found(0xfffff000) + Header("OEMT", 8192, 4) +
                           "*** ERROR: Table at PA 0xfffff000, 8192 Bytes reaches above 4 GB, not remapped ***\r\n" +
                           Mappings({kWindowRow, {0x07fe0000, 3, 44}, {0xfffff000, 4, 36}})));

    // The same for a root, found after a survey that walked the other kind:
    // that survey's root is not walked again.
    const std::string tooHigh = "*** ERROR: Table at PA 0xfffffff0, 36 Bytes reaches above 4 GB, not mapped ***\r\n";
    for (const bool extendedFirst : {true, false}) {
        Driver driver(extendedFirst ? zhost::DefaultNotebookProfile() : zhost::BareProfile());
        if (!extendedFirst) zhost::PlaceAcpiFirmware(*driver.machine->memory(), RsdtListing({}));
        driver.startAndOpen();
        AcpiReport(driver);
        zhost::AcpiRsdpLayout rsdp;
        rsdp.address = extendedFirst ? 0x9FC00 : 0x100; // in the first search area
        rsdp.revision = extendedFirst ? 0 : 2;
        (extendedFirst ? rsdp.rsdt : rsdp.xsdt) = zhost::AcpiReference{"", 0xFFFFFFF0};
        zhost::AcpiFirmware later;
        later.rsdps.push_back(rsdp);
        zhost::PlaceAcpiFirmware(*driver.machine->memory(), later);
        EXPECT_EQ(NormaliseAddresses(AcpiReport(driver)),
                  NormaliseAddresses(EbdaSearch(0x20030000) +
                                     Fmt("Sig found at VA 0x%08x\r\n", 0x20030000 + rsdp.address % 0x400) +
                                     (extendedFirst ? "ACPI V1" : "ACPI V2") + " BIOS detected\r\n" + tooHigh +
                                     Mappings({kWindowRow})));
    }
}

// Seventeen tables of 1 MiB: fifteen are mapped whole, and the survey's
// 16 MiB are spent before the sixteenth, whose header alone stays mapped.
TEST(AcpiSurvey, SurveyMapsAtMostSixteenMegabytes)
{
    std::vector<std::pair<uint32_t, uint32_t>> tables;
    for (uint32_t i = 0; i < 17; ++i)
        tables.emplace_back(0x10000000 + i * 0x100000, 0x100000);
    std::string expected = ListingStart(36 + 17 * 4);
    std::vector<Row> rows = {kWindowRow, {0x07fe0000, 3, 104}};
    uint32_t va = 4;
    for (const auto& [pa, length] : tables) {
        if (rows.size() < 17) {
            expected += Entry("RSDT", pa, "OEMT", length, va, va + 1);
            rows.push_back({pa, va + 1, length});
            va += 2;
        } else {
            expected += Found(pa) + Header("OEMT", length, va) +
                        Fmt("*** ERROR: Mapping limit of 16777216 Bytes reached, PA 0x%08x not remapped ***\r\n", pa);
            rows.push_back({pa, va++, 36});
        }
    }
    EXPECT_EQ(SurveyOf(RsdtListing(tables)), NormaliseAddresses(expected + Mappings(rows)));
}

// The root's header is mapped first and its Length read there; the firmware
// then changes the field, so the full-length mapping shows another Length.
// The walk is bounded by the Length mapped: the survey reads as on stable
// memory (a walk bounded by the new, longer Length would read past the
// mapping, which stops the host kernel).
TEST(AcpiSurvey, RootLengthChangingAfterItsFirstReadDoesNotMoveTheWalksBound)
{
    for (const auto& [profile, lengthAt, later] :
         {std::tuple{AcpiProfile("short_table"), 0x07FE0004u, uint8_t{0xF0}},
          std::tuple{zhost::DefaultNotebookProfile(), 0x1FFF0084u, uint8_t{0xFC}}}) {
        std::string stable;
        {
            Driver driver(profile);
            driver.startAndOpen();
            stable = AcpiReport(driver);
        }
        Driver driver(profile);
        driver.machine->memory()->makeVolatile(lengthAt, later);
        driver.startAndOpen();
        EXPECT_EQ(AcpiReport(driver), stable);
        EXPECT_EQ(driver.machine->memory()->byte(lengthAt), later) << "the firmware did change the field";
    }
}

// Both halves of "RSD PTR " make an RSDP: a candidate with one letter of
// either half changed is passed over even when its checksum holds.
TEST(AcpiSurvey, HalfASignatureIsNoRsdp)
{
    for (const uint32_t letter : {2u, 6u}) {
        Driver driver(AcpiProfile("rsdt_length_36"));
        zhost::AcpiFirmware firmware;
        firmware.ebdaSegment = 0x003F;
        zhost::AcpiRsdpLayout rsdp;
        rsdp.address = 0x100;
        rsdp.revision = 0;
        rsdp.rsdt = zhost::AcpiReference{"", 0x07FE0000};
        firmware.rsdps.push_back(rsdp);
        zhost::PlaceAcpiFirmware(*driver.machine->memory(), firmware);
        std::vector<uint8_t> bytes = driver.machine->memory()->read(0x100, 9);
        ++bytes[letter];
        --bytes[8];
        driver.machine->memory()->write(0x100, bytes);
        driver.startAndOpen();
        EXPECT_EQ(AcpiReport(driver).find("Sig found at VA 0x20024100"), std::string::npos) << letter;
    }
}

} // namespace
} // namespace ztest
