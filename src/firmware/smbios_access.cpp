#include "smbios_access.h"

#include "../frame/driver.h"
#include "../frame/little_endian.h"

extern "C" {
SmbiosStateRecord SmbiosState;
}

namespace {

const char NO_STRING[] = "--";

constexpr ULONG SMBIOS_F_SEGMENT = 0xF0000;
constexpr ULONG SMBIOS_F_SEGMENT_LENGTH = 0x10000;

bool IsEntryPoint(const UCHAR* candidate, ULONG room)
{
    const ULONG anchor = static_cast<ULONG>('_') | static_cast<ULONG>('S') << 8 | static_cast<ULONG>('M') << 16 |
                         static_cast<ULONG>('_') << 24;
    if (room < SMBIOS_HEADER_LENGTH || ReadLongLe(candidate) != anchor) {
        return false;
    }
    // A candidate so near the window's end that its checksum or the fields
    // read later would reach past it is no entry point: the bytes beyond
    // belong to nothing that was mapped.
    if (room < SMBIOS_EP_FIELDS_END) {
        return false;
    }
    // The length byte is read once: the bound tested is the bound summed.
    const ULONG length = candidate[SMBIOS_EP_LENGTH];
    if (room < length) {
        return false;
    }
    UCHAR sum = 0;
    for (ULONG i = 0; i < length; ++i) {
        sum = static_cast<UCHAR>(sum + candidate[i]);
    }
    return sum == 0;
}

} // namespace

extern "C" void SmbiosFindEntryPoint(PUCHAR searchStart)
{
    SmbiosState.entryPoint = nullptr;
    for (ULONG offset = 0; offset < SMBIOS_SEARCH_LENGTH; offset += SMBIOS_SEARCH_STEP) {
        if (IsEntryPoint(searchStart + offset, SMBIOS_SEARCH_LENGTH - offset)) {
            SmbiosState.entryPoint = searchStart + offset;
            return;
        }
    }
}

extern "C" ULONG SmbiosLocateTable(PUCHAR entryPoint)
{
    if (strncmp(reinterpret_cast<const char*>(entryPoint + SMBIOS_EP_DMI_ANCHOR), "_DMI_", 5) != 0) {
        return SMBIOS_NO_DMI_ANCHOR;
    }
    const ULONG address = ReadLongLe(entryPoint + SMBIOS_EP_TABLE_ADDRESS);
    SmbiosState.tableLength = ReadWordLe(entryPoint + SMBIOS_EP_TABLE_LENGTH);

    if (address - SMBIOS_F_SEGMENT < SMBIOS_F_SEGMENT_LENGTH) {
        // A table that runs past the window's end is walked only as far as
        // the window reaches.
        const ULONG offset = address - BIOS_WINDOW_PHYSICAL;
        const ULONG room = BIOS_WINDOW_LENGTH - offset;
        SmbiosState.tableBase = BiosWindow + offset;
        SmbiosState.tableEnd =
            SmbiosState.tableBase + (SmbiosState.tableLength < room ? SmbiosState.tableLength : room);
        return SMBIOS_TABLE_LOCATED;
    }

    if (SmbiosState.tableLength == 0) {
        // Nothing to map: the table holds no structure.
        SmbiosState.tableBase = nullptr;
        SmbiosState.tableEnd = nullptr;
        return SMBIOS_TABLE_LOCATED;
    }

    if (SmbiosState.ownTableMapped == 0) {
        if (static_cast<ULONGLONG>(address) + SmbiosState.tableLength > 0x100000000ULL) {
            // Starts below 4 GiB and ends above: no 2.x table can, and NT
            // would map memory past 4 GiB as asked.
            SmbiosState.tableBase = nullptr;
            SmbiosState.tableEnd = nullptr;
            return SMBIOS_TABLE_UNMAPPED;
        }
        PHYSICAL_ADDRESS physical;
        physical.QuadPart = address;
        const PVOID mapping = MmMapIoSpace(physical, SmbiosState.tableLength, MmNonCached);
        if (mapping == nullptr) {
            // Not remembered as mapped: the next request tries again, and
            // unload has nothing to release.
            SmbiosState.tableBase = nullptr;
            SmbiosState.tableEnd = nullptr;
            return SMBIOS_TABLE_UNMAPPED;
        }
        SmbiosState.ownTableMapping = static_cast<PUCHAR>(mapping);
        SmbiosState.ownTableLength = SmbiosState.tableLength;
        SmbiosState.ownTableMapped = 1;
    }
    // The mapping is made once and kept; the walk stays inside it even if
    // the length read now were to differ from the one it was made with.
    const ULONG length =
        SmbiosState.tableLength < SmbiosState.ownTableLength ? SmbiosState.tableLength : SmbiosState.ownTableLength;
    SmbiosState.tableBase = SmbiosState.ownTableMapping;
    SmbiosState.tableEnd = SmbiosState.tableBase + length;
    return SMBIOS_TABLE_LOCATED;
}

extern "C" ULONG SmbiosStructureLength(PUCHAR structure)
{
    const PUCHAR end = SmbiosState.tableEnd;
    if (structure >= end) {
        return 0;
    }
    PUCHAR q = structure + structure[1];
    while (q + 1 < end && (q[0] != 0 || q[1] != 0)) {
        ++q;
    }
    if (q + 1 >= end) {
        // No double NUL inside the table: the structure takes the rest of it.
        return static_cast<ULONG>(end - structure);
    }
    return static_cast<ULONG>(q + 2 - structure);
}

extern "C" const char* SmbiosGetString(PUCHAR structure, ULONG number)
{
    const PUCHAR end = SmbiosState.tableEnd;
    if (number == 0) {
        return NO_STRING;
    }
    PUCHAR q = structure + structure[1];
    if (q >= end || (q[0] == 0 && (q + 1 >= end || q[1] == 0))) {
        return NO_STRING;
    }
    for (ULONG k = 1;; ++k) {
        PUCHAR nul = q;
        while (nul < end && *nul != 0) {
            ++nul;
        }
        if (nul >= end) {
            // The string runs into the table's end without its NUL.
            return nullptr;
        }
        if (k >= number) {
            return reinterpret_cast<const char*>(q);
        }
        q = nul + 1;
        if (q >= end || *q == 0) {
            return nullptr;
        }
    }
}

extern "C" void SmbiosReleaseTableMapping(void)
{
    if (SmbiosState.ownTableMapped != 0) {
        MmUnmapIoSpace(SmbiosState.ownTableMapping, SmbiosState.ownTableLength);
        SmbiosState.ownTableMapped = 0;
        SmbiosState.ownTableMapping = nullptr;
    }
}
