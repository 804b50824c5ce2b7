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

extern "C" {
extern MappingEntry RegistryTable[REGISTRY_CAPACITY];
extern LONG RegistryCount;

// Row 0 becomes the BIOS window; a null window (its mapping failed at start)
// is not lent, so ranges inside 0xE0000..0xFFFFF get mappings of their own.
// Call only right after RegistryReleaseAll: the rows are not released here.
void RegistryReset(PUCHAR biosWindow);

// The virtual address of physical..physical+length-1, from the first row
// that holds the whole range or from a new mapping. Null when a new mapping
// was needed and the table is full or the platform could not map the range;
// nothing is recorded then.
PUCHAR RegistryMap(ULONG physical, ULONG length);

// Maps the range again at newLength in the row that holds exactly
// (physical, oldLength); without such a row, RegistryMap(physical,
// newLength). Null on failure, and the old row then stays as it was.
PUCHAR RegistryRemap(ULONG physical, ULONG oldLength, ULONG newLength);

// Releases every mapping the registry made and empties it.
void RegistryReleaseAll();

// Why the last RegistryMap or RegistryRemap returned null: TRUE when it
// needed a row and the table was full, FALSE when the platform could not
// map the range.
extern BOOLEAN RegistryRefusedFull;

void RegistryList(ReportText* report);
}
