#include "acpi_survey.h"

#include "../frame/driver.h"
#include "../frame/little_endian.h"
#include "mapping_registry.h"

extern "C" {
ULONG AcpiRsdtPhysical;
PUCHAR AcpiRsdtVirtual;
ULONG AcpiXsdtPhysical;
PUCHAR AcpiXsdtVirtual;
}

namespace {

constexpr ULONG RSDP_SIGNATURE_LOW = 0x20445352;  // "RSD "
constexpr ULONG RSDP_SIGNATURE_HIGH = 0x20525450; // "PTR "
constexpr ULONG RSDP_V1_LENGTH = 20;
// The bytes of a revision-2 RSDP that are read: the checksummed 20 and the
// XSDT address through byte 31. Its Length and extended checksum are not.
constexpr ULONG RSDP_V2_READ_LENGTH = 32;

// Virtual addresses print as 32-bit values: they are on the target, and the
// host kernel hands out addresses below 4 GiB.
unsigned Va(const void* address)
{
    return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(address));
}

// ULONG is long on the target and int on the host; "%u" and "%08x" take
// unsigned int on both.
unsigned U(ULONG value)
{
    return static_cast<unsigned>(value);
}

PUCHAR MapPlatform(ULONG physical, ULONG length)
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = physical;
    return static_cast<PUCHAR>(MmMapIoSpace(address, length, MmNonCached));
}

void AppendMapFailure(ReportText* report, ULONG physical, ULONG length)
{
    ReportAppend(report, "*** ERROR: Can't map PA 0x%08x, %u Bytes ***\r\n", U(physical), U(length));
}

void AppendRegistryFailure(ReportText* report, ULONG physical, ULONG length, BOOLEAN remap)
{
    const char* const outcome = remap ? "not remapped" : "not mapped";
    switch (RegistryRefusal) {
    case REGISTRY_REFUSED_FULL:
        ReportAppend(report, "*** ERROR: Mapping registry full, PA 0x%08x not mapped ***\r\n", U(physical));
        break;
    case REGISTRY_REFUSED_ABOVE_4GB:
        ReportAppend(report, "*** ERROR: Table at PA 0x%08x, %u Bytes reaches above 4 GB, %s ***\r\n", U(physical),
                     U(length), outcome);
        break;
    case REGISTRY_REFUSED_LIMIT:
        ReportAppend(report, "*** ERROR: Mapping limit of %u Bytes reached, PA 0x%08x %s ***\r\n",
                     U(REGISTRY_MAP_LIMIT), U(physical), outcome);
        break;
    default: AppendMapFailure(report, physical, length); break;
    }
}

// A header text field: at most `count` bytes, ending early at a NUL.
void CopyField(char* out, const UCHAR* field, ULONG count)
{
    strncpy(out, reinterpret_cast<const char*>(field), count);
    out[count] = '\0';
}

// The first search area is where the ACPI standard puts the RSDP: the
// first KB of the EBDA, whose segment the BIOS data area holds. A segment
// outside conventional memory is not trusted; physical 0 is searched then.
void FindFirstArea(ReportText* report, ULONG* physical, ULONG* length)
{
    *physical = 0;
    *length = ACPI_FIRST_AREA_LENGTH;
    const PUCHAR pointer = MapPlatform(ACPI_EBDA_POINTER, 2);
    if (pointer == nullptr) {
        AppendMapFailure(report, ACPI_EBDA_POINTER, 2);
        return;
    }
    const ULONG ebda = (static_cast<ULONG>(pointer[0]) | static_cast<ULONG>(pointer[1]) << 8) * 16;
    MmUnmapIoSpace(pointer, 2);
    if (ebda >= 0x400 && ebda < ACPI_EBDA_LIMIT) {
        *physical = ebda;
        if (ACPI_EBDA_LIMIT - ebda < ACPI_FIRST_AREA_LENGTH) {
            *length = ACPI_EBDA_LIMIT - ebda;
        }
    }
}

ULONG SearchFirstArea(ReportText* report)
{
    ULONG physical;
    ULONG length;
    FindFirstArea(report, &physical, &length);
    const PUCHAR area = MapPlatform(physical, length);
    if (area == nullptr) {
        AppendMapFailure(report, physical, length);
        return ACPI_FALSE;
    }
    const ULONG found = AcpiFindRsdp(area, length, report);
    MmUnmapIoSpace(area, length);
    return found;
}

void WalkRoot(ReportText* report, BOOLEAN extended)
{
    PUCHAR* root = extended ? &AcpiXsdtVirtual : &AcpiRsdtVirtual;
    const ULONG physical = extended ? AcpiXsdtPhysical : AcpiRsdtPhysical;
    const ULONG entrySize = extended ? 8 : 4;

    ReportAppend(report, extended ? "Analyzing XSDT...\r\n" : "Analyzing RSDT...\r\n");
    // The walk is bounded by the Length that was read once and mapped, not
    // by a second read of the field: firmware memory can change between two
    // reads, and a walk past the mapping is a page fault in the kernel.
    // Without its full-length mapping only the header may be read.
    const ULONG length = AcpiDescribeAndRemap(*root, physical, root, report);
    if (length == 0) {
        return;
    }

    const ULONG entryBytes = length - ACPI_HEADER_LENGTH;
    if (entryBytes % entrySize != 0) {
        ReportAppend(report, extended ? "XSDT size not DWORD aligned\r\n" : "RSDT size not DWORD aligned\r\n");
        return;
    }
    // A full text ends the walk: tables nobody sees are not worth mapping.
    for (ULONG k = 0; k < entryBytes && !report->truncated; k += entrySize) {
        const ULONG table = ReadLongLe(*root + ACPI_HEADER_LENGTH + k);
        if (extended) {
            // A 32-bit physical address cannot reach the table; its low half
            // alone would name other memory, perhaps device registers.
            const ULONG high = ReadLongLe(*root + ACPI_HEADER_LENGTH + k + 4);
            if (high != 0) {
                ReportAppend(report, "*** ERROR: Table at PA 0x%08x%08x is above 4 GB, not mapped ***\r\n", U(high),
                             U(table));
                continue;
            }
            ReportAppend(report, "Table found at PA 0x%08x ...\r\n", U(table));
        } else {
            ReportAppend(report, "Table found at PA 0x%08x...\r\n", U(table));
        }
        const PUCHAR header = RegistryMap(table, ACPI_HEADER_LENGTH);
        if (header == nullptr) {
            AppendRegistryFailure(report, table, ACPI_HEADER_LENGTH, FALSE);
            continue;
        }
        PUCHAR remapped;
        AcpiDescribeAndRemap(header, table, &remapped, report);
    }
}

} // namespace

extern "C" ULONG BuildAcpiReport(char* buffer, ULONG size)
{
    ReportText report;
    ReportBegin(&report, buffer, size);

    // Values of an earlier survey point into mappings released below; a
    // revision-2 firmware found now must not walk an old RSDT.
    AcpiRsdtPhysical = 0;
    AcpiRsdtVirtual = nullptr;
    AcpiXsdtPhysical = 0;
    AcpiXsdtVirtual = nullptr;

    RegistryReleaseAll();
    RegistryReset(BiosWindow);

    ReportAppend(&report, "Searching EBDA for signature...\r\n");
    ULONG found = SearchFirstArea(&report);

    if (!found) {
        ReportAppend(&report, "Searching BIOS area for signature...\r\n");
        if (BiosWindow == nullptr) {
            ReportAppend(&report, "*** ERROR: BIOS area not mapped, not searched ***\r\n");
        } else {
            found = AcpiFindRsdp(BiosWindow, BIOS_WINDOW_LENGTH, &report);
        }
    }
    if (!found) {
        ReportAppend(&report, "*** ERROR: No ACPI BIOS found ***\r\n");
        return ACPI_FALSE;
    }

    if (AcpiRsdtVirtual != nullptr) {
        AcpiWalkRsdt(&report);
    } else if (AcpiXsdtVirtual != nullptr) {
        AcpiWalkXsdt(&report);
    }
    RegistryList(&report);
    return ACPI_TRUE;
}

extern "C" ULONG AcpiFindRsdp(PUCHAR range, ULONG length, ReportText* report)
{
    ReportAppend(report, "Searching VA 0x%08x, %d Bytes...\r\n", Va(range), static_cast<int>(length));
    for (ULONG offset = 0; length >= 16 && offset <= length - 16; offset += 16) {
        const PUCHAR candidate = range + offset;
        if (ReadLongLe(candidate) != RSDP_SIGNATURE_LOW || ReadLongLe(candidate + 4) != RSDP_SIGNATURE_HIGH) {
            continue;
        }
        const UCHAR revision = candidate[15];
        if (revision != 0 && revision != 2) {
            continue;
        }
        // A candidate whose structure would run past the range is not read.
        if (length - offset < (revision == 0 ? RSDP_V1_LENGTH : RSDP_V2_READ_LENGTH)) {
            continue;
        }
        ReportAppend(report, "Sig found at VA 0x%08x\r\n", Va(candidate));

        UCHAR sum = 0;
        for (ULONG i = 0; i < RSDP_V1_LENGTH; ++i) {
            sum = static_cast<UCHAR>(sum + candidate[i]);
        }
        if (sum != 0) {
            continue;
        }

        if (revision == 0) {
            AcpiRsdtPhysical = ReadLongLe(candidate + 16);
            ReportAppend(report, "ACPI V1 BIOS detected\r\n");
            AcpiRsdtVirtual = RegistryMap(AcpiRsdtPhysical, ACPI_HEADER_LENGTH);
            if (AcpiRsdtVirtual == nullptr) {
                AppendRegistryFailure(report, AcpiRsdtPhysical, ACPI_HEADER_LENGTH, FALSE);
            } else {
                ReportAppend(report, "RSDT @ VA 0x%08x (PA 0x%08x)\r\n", Va(AcpiRsdtVirtual), U(AcpiRsdtPhysical));
            }
            return ACPI_TRUE;
        }

        if (ReadLongLe(candidate + 28) != 0) {
            ReportAppend(report, "*** ERROR: XSDT highpart in RSDP is not zero ! ***");
            return ACPI_FALSE;
        }
        AcpiXsdtPhysical = ReadLongLe(candidate + 24);
        ReportAppend(report, "ACPI V2 BIOS detected\r\n");
        AcpiXsdtVirtual = RegistryMap(AcpiXsdtPhysical, ACPI_HEADER_LENGTH);
        if (AcpiXsdtVirtual == nullptr) {
            AppendRegistryFailure(report, AcpiXsdtPhysical, ACPI_HEADER_LENGTH, FALSE);
        } else {
            ReportAppend(report, "XSDT @ VA 0x%08x (PA 0x%08x)\r\n", Va(AcpiXsdtVirtual), U(AcpiXsdtPhysical));
        }
        return ACPI_TRUE;
    }
    return ACPI_FALSE;
}

extern "C" void AcpiWalkRsdt(ReportText* report)
{
    WalkRoot(report, FALSE);
}

extern "C" void AcpiWalkXsdt(ReportText* report)
{
    WalkRoot(report, TRUE);
}

extern "C" ULONG AcpiDescribeAndRemap(PUCHAR header, ULONG physical, PUCHAR* remapped, ReportText* report)
{
    char signature[5];
    char oemId[7];
    char oemTableId[9];
    CopyField(signature, header, 4);
    CopyField(oemId, header + 10, 6);
    CopyField(oemTableId, header + 16, 8);
    const ULONG length = ReadLongLe(header + 4);

    ReportAppend(report, "  Remapping '%s', %u Bytes from VA 0x%08x\r\n", signature, U(length), Va(header));
    ReportAppend(report, "  OEMID:'%s'\r\n", oemId);
    ReportAppend(report, "  OEM Table ID:'%s'\r\n", oemTableId);

    if (length < ACPI_HEADER_LENGTH) {
        // Nothing behind the header belongs to such a table; the header's
        // own mapping stays the table's address.
        ReportAppend(report, "*** ERROR: Length %u is shorter than the 36-byte header ***\r\n", U(length));
        *remapped = header;
        return 0;
    }
    if (length > ACPI_MAX_TABLE_LENGTH) {
        ReportAppend(report, "*** ERROR: Length %u is longer than %u Bytes, not remapped ***\r\n", U(length),
                     U(ACPI_MAX_TABLE_LENGTH));
        *remapped = header;
        return 0;
    }
    *remapped = RegistryRemap(physical, ACPI_HEADER_LENGTH, length);
    if (*remapped == nullptr) {
        AppendRegistryFailure(report, physical, length, TRUE);
        return 0;
    }
    ReportAppend(report, "  Table remapped to VA 0x%08x (PA 0x%08x)\r\n", Va(*remapped), U(physical));
    return length;
}
