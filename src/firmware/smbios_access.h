// SMBIOS 2.x access: the entry point in the BIOS window, the structure table
// (inside the window or mapped by itself), and the two per-structure
// operations that every walk uses. Every read is bounded by the window or by
// the table's end, whatever the firmware's fields claim.
#pragma once

#include "../frame/kernel.h"

// Offsets into the 2.x entry point.
constexpr ULONG SMBIOS_EP_LENGTH = 0x05;
constexpr ULONG SMBIOS_EP_DMI_ANCHOR = 0x10;
constexpr ULONG SMBIOS_EP_TABLE_LENGTH = 0x16;
constexpr ULONG SMBIOS_EP_TABLE_ADDRESS = 0x18;
constexpr ULONG SMBIOS_EP_STRUCTURE_COUNT = 0x1C;
// The entry point bytes that are read after the search: through the
// structure count.
constexpr ULONG SMBIOS_EP_FIELDS_END = 0x1E;

constexpr ULONG SMBIOS_SEARCH_OFFSET = 0x10000; // physical 0xF0000 in the BIOS window
constexpr ULONG SMBIOS_SEARCH_LENGTH = 0x10000;
constexpr ULONG SMBIOS_SEARCH_STEP = 4;
constexpr ULONG SMBIOS_HEADER_LENGTH = 4;

// Results of SmbiosLocateTable.
constexpr ULONG SMBIOS_TABLE_LOCATED = 0;
constexpr ULONG SMBIOS_NO_DMI_ANCHOR = 1;
constexpr ULONG SMBIOS_TABLE_UNMAPPED = 2; // its own mapping failed; tried again next time

struct SmbiosStateRecord {
    PUCHAR entryPoint;      // inside the BIOS window; null until found
    PUCHAR tableBase;       // first structure; set by every table location
    USHORT tableLength;     // Structure Table Length, copied by every table location
    PUCHAR tableEnd;        // first byte a walk may not read
    PUCHAR ownTableMapping; // meaningful while ownTableMapped is set
    ULONG ownTableLength;   // the length that mapping was made with
    ULONG ownTableMapped;
};

extern "C" {
// Zero at load; shared by both SMBIOS requests; released at unload.
extern SmbiosStateRecord SmbiosState;

void SmbiosFindEntryPoint(PUCHAR searchStart);
ULONG SmbiosLocateTable(PUCHAR entryPoint);
ULONG SmbiosStructureLength(PUCHAR structure);
const char* SmbiosGetString(PUCHAR structure, ULONG number);

// Unload: releases the table's own mapping, if one was made.
void SmbiosReleaseTableMapping(void);
}
