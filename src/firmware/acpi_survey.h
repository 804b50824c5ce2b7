// The ACPI table survey: finds the RSDP, follows it to the RSDT (ACPI 1.0)
// or the XSDT (ACPI 2.0 and later) and describes the header of that table
// and of every table it lists, reading all of them in place through the
// mapping registry. It only reads firmware memory.
#pragma once

#include "../frame/report_text.h"

constexpr ULONG ACPI_TRUE = 0xFFFFFFFF;
constexpr ULONG ACPI_FALSE = 0;
constexpr ULONG ACPI_HEADER_LENGTH = 36;
// Longest table mapped at its full length. Real tables stay far below it
// (a DSDT is tens of KB); a length beyond it is broken firmware, and mapping
// it would spend system PTEs by the hundred megabytes to read a header.
constexpr ULONG ACPI_MAX_TABLE_LENGTH = 0x100000;
constexpr ULONG ACPI_FIRST_AREA_LENGTH = 1024;
constexpr ULONG ACPI_EBDA_POINTER = 0x40E; // BIOS data area: EBDA segment word
constexpr ULONG ACPI_EBDA_LIMIT = 0xA0000; // conventional memory ends here

extern "C" {
// Kept from one survey to the next only as a record: every survey clears
// them before it searches, so none can point into a released mapping.
extern ULONG AcpiRsdtPhysical;
extern PUCHAR AcpiRsdtVirtual;
extern ULONG AcpiXsdtPhysical;
extern PUCHAR AcpiXsdtVirtual;

// Fills buffer[0..size) with the survey text. ACPI_TRUE when an RSDP was
// found.
ULONG BuildAcpiReport(char* buffer, ULONG size);

// Searches range[0..length) on 16-byte steps; range must start on a 16-byte
// physical boundary.
ULONG AcpiFindRsdp(PUCHAR range, ULONG length, ReportText* report);

void AcpiWalkRsdt(ReportText* report);
void AcpiWalkXsdt(ReportText* report);

// Describes the header at `header` (physical address `physical`, mapped for
// at least 36 bytes) and stores the table's full-length address, or null
// when the table could not be mapped at its length, in *remapped. Returns
// the Length it read, once, and mapped: the bytes readable at *remapped;
// 0 when the table was not mapped at its length.
ULONG AcpiDescribeAndRemap(PUCHAR header, ULONG physical, PUCHAR* remapped, ReportText* report);
}
