// The mapping registry: every mapping of physical memory that the ACPI survey
// makes, so that a range inside an earlier mapping is served from it, a
// table first mapped by its header can be mapped again at full length, and
// the lot is listed and released in one step. The BIOS window is lent to it
// as row 0 and never released here.
#pragma once

#include "../frame/report_text.h"

struct MappingEntry {
    ULONG physicalAddress;
    PUCHAR virtualAddress;
    ULONG length;
    ULONG owned; // 0: lent to the registry; all ones: made and released by it
};

constexpr LONG REGISTRY_CAPACITY = 100;
constexpr ULONG REGISTRY_OWNED = 0xFFFFFFFF;
// Bytes that the registry maps between two resets, remapped rows counted
// again. Real firmware needs well under 1 MiB; hostile tables could
// otherwise hold a hundred rows of the longest table mapped, about 100 MiB
// of system address space, which exhausts a 32-bit kernel's system PTEs.
constexpr ULONG REGISTRY_MAP_LIMIT = 0x1000000;

// Why the last RegistryMap or RegistryRemap returned null.
constexpr ULONG REGISTRY_REFUSED_UNMAPPABLE = 0; // the platform could not map the range
constexpr ULONG REGISTRY_REFUSED_FULL = 1;       // a row was needed and the table was full
constexpr ULONG REGISTRY_REFUSED_ABOVE_4GB = 2;  // the range starts below 4 GiB and ends above
constexpr ULONG REGISTRY_REFUSED_LIMIT = 3;      // mapping it would pass REGISTRY_MAP_LIMIT

extern "C" {
extern MappingEntry RegistryTable[REGISTRY_CAPACITY];
extern LONG RegistryCount;

// Row 0 becomes the BIOS window; a null window (its mapping failed at start)
// is not lent, so ranges inside 0xE0000..0xFFFFF get mappings of their own.
// Call only right after RegistryReleaseAll: the rows are not released here.
void RegistryReset(PUCHAR biosWindow);

// The virtual address of physical..physical+length-1, from the first row
// that holds the whole range or from a new mapping. Null when a new mapping
// was needed and the table is full, the range crosses 4 GiB, the bytes
// mapped would pass REGISTRY_MAP_LIMIT or the platform could not map it;
// nothing is recorded then.
PUCHAR RegistryMap(ULONG physical, ULONG length);

// Maps the range again at newLength in the row that holds exactly
// (physical, oldLength); without such a row, RegistryMap(physical,
// newLength). Null on failure, and the old row then stays as it was.
PUCHAR RegistryRemap(ULONG physical, ULONG oldLength, ULONG newLength);

// Releases every mapping the registry made and empties it.
void RegistryReleaseAll();

// One of the REGISTRY_REFUSED_ values, set when RegistryMap or
// RegistryRemap returns null.
extern ULONG RegistryRefusal;
// Bytes mapped since the last RegistryReset.
extern ULONG RegistryBytesMapped;

void RegistryList(ReportText* report);
}
