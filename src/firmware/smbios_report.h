// The two SMBIOS replies: the inventory report and the CPU-speed text.
#pragma once

#include "../frame/kernel.h"
#include "../frame/report_text.h"

// Shown where a string field names a string that the structure does not
// hold (beyond its last string, or cut off by the table's end).
#define SMBIOS_MISSING_STRING "<missing string>"

extern "C" {
// buffer holds ZERLO_SMBIOS_REPORT_SIZE bytes.
void BuildSmbiosReport(char* buffer);
// buffer holds ZERLO_CPU_SPEED_TEXT_SIZE bytes; "---" when there is no speed.
void GetCpuSpeedText(char* buffer);
void SmbiosFormatStructure(ReportText* report, PUCHAR structure);
}
