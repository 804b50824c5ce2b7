#include "smbios_report.h"

#include "../frame/driver.h"
#include "smbios_access.h"

namespace {

enum SmbiosOpenResult {
    SMBIOS_OPEN_READY,
    SMBIOS_OPEN_NO_WINDOW,
    SMBIOS_OPEN_NOT_FOUND,
    SMBIOS_OPEN_NO_DMI,
    SMBIOS_OPEN_UNMAPPED,
};

// Finds the entry point (once in the driver's life) and locates the table
// (on every request).
SmbiosOpenResult SmbiosOpenTable()
{
    if (BiosWindow == nullptr) {
        return SMBIOS_OPEN_NO_WINDOW;
    }
    if (SmbiosState.entryPoint == nullptr) {
        SmbiosFindEntryPoint(BiosWindow + SMBIOS_SEARCH_OFFSET);
        if (SmbiosState.entryPoint == nullptr) {
            return SMBIOS_OPEN_NOT_FOUND;
        }
    }
    switch (SmbiosLocateTable(SmbiosState.entryPoint)) {
    case SMBIOS_TABLE_LOCATED: return SMBIOS_OPEN_READY;
    case SMBIOS_NO_DMI_ANCHOR: return SMBIOS_OPEN_NO_DMI;
    default: return SMBIOS_OPEN_UNMAPPED;
    }
}

ULONG SmbiosStructureCount()
{
    const PUCHAR count = SmbiosState.entryPoint + SMBIOS_EP_STRUCTURE_COUNT;
    return static_cast<ULONG>(count[0] | (count[1] << 8));
}

// Whether a walk may format the structure at this address: its header and
// its whole formatted area lie inside the table, and the formatted area is
// at least a header long. Anything else ends the walk, whatever count the
// entry point announced.
bool SmbiosStructureFits(PUCHAR structure)
{
    const PUCHAR end = SmbiosState.tableEnd;
    if (structure == nullptr || structure >= end) {
        return false;
    }
    const ULONG room = static_cast<ULONG>(end - structure);
    if (room < SMBIOS_HEADER_LENGTH) {
        return false;
    }
    const ULONG formatted = structure[1];
    return formatted >= SMBIOS_HEADER_LENGTH && formatted <= room;
}

// Field reads stay inside the table: a field that lies past its end reads
// as 0 (no string, number 0).
UCHAR FieldByte(PUCHAR structure, ULONG offset)
{
    return structure + offset < SmbiosState.tableEnd ? structure[offset] : 0;
}

ULONG FieldWord(PUCHAR structure, ULONG offset)
{
    return static_cast<ULONG>(FieldByte(structure, offset) | FieldByte(structure, offset + 1) << 8);
}

const char* FieldString(PUCHAR structure, ULONG offset)
{
    const char* text = SmbiosGetString(structure, FieldByte(structure, offset));
    return text != nullptr ? text : SMBIOS_MISSING_STRING;
}

void FormatCache(ReportText* report, PUCHAR structure)
{
    static const char* const locations[] = {"internal", "external", "reserved", "unknown"};
    const ULONG configuration = FieldWord(structure, 0x05);
    const ULONG sizeWord = FieldWord(structure, 0x09);
    const ULONG size = (sizeWord & 0x7FFF) * ((sizeWord & 0x8000) != 0 ? 64 : 1);
    ReportAppend(report, "L%d cache size: %d KB (%s)\r\n", static_cast<int>((configuration & 7) + 1),
                 static_cast<int>(size), locations[(configuration >> 5) & 3]);
}

void FormatOnBoardDevice(ReportText* report, PUCHAR structure)
{
    switch (FieldByte(structure, 0x04) & 0x7F) {
    case 3: ReportAppend(report, "Video card: %s\r\n", FieldString(structure, 0x05)); break;
    case 5: ReportAppend(report, "Ethernet card: %s\r\n", FieldString(structure, 0x05)); break;
    case 7: ReportAppend(report, "Sound card: %s\r\n", FieldString(structure, 0x05)); break;
    default: break;
    }
}

void FormatMemoryDevice(ReportText* report, PUCHAR structure)
{
    const int speed = static_cast<int>(FieldWord(structure, 0x15));
    if (structure[1] >= 0x17 && speed != 0) {
        ReportAppend(report, "SODIMM Socket '%s': %d MB (%d MHz)\r\n", FieldString(structure, 0x10),
                     static_cast<int>(FieldWord(structure, 0x0C)), speed);
    } else {
        ReportAppend(report, "SODIMM Socket '%s': %d MB\r\n", FieldString(structure, 0x10),
                     static_cast<int>(FieldWord(structure, 0x0C)));
    }
}

void FormatBattery(ReportText* report, PUCHAR structure)
{
    const ULONG length = structure[1];
    ReportAppend(report, "Battery manufacturer: %s\r\n", FieldString(structure, 0x05));
    ReportAppend(report, "Battery device name: %s\r\n", FieldString(structure, 0x08));
    ReportAppend(report, "Battery location: %s\r\n", FieldString(structure, 0x04));
    if (FieldByte(structure, 0x06) != 0) {
        ReportAppend(report, "Battery manufacturing date: %s\r\n", FieldString(structure, 0x06));
    } else if (length >= 0x13) {
        const ULONG date = FieldWord(structure, 0x12);
        ReportAppend(report, "Battery manufacturing date: %d/%d/%d (SBDS)\r\n", static_cast<int>((date >> 5) & 0x0F),
                     static_cast<int>(date & 0x1F), static_cast<int>((date >> 9) + 1980));
    }
    if (FieldByte(structure, 0x07) != 0) {
        ReportAppend(report, "Battery serial no: %s\r\n", FieldString(structure, 0x07));
    } else if (length >= 0x11) {
        ReportAppend(report, "Battery serial no: %d (SBDS)\r\n", static_cast<int>(FieldWord(structure, 0x10)));
    }
}

} // namespace

extern "C" void SmbiosFormatStructure(ReportText* report, PUCHAR structure)
{
    switch (structure[0]) {
    case 0:
        ReportAppend(report, "BIOS vendor: %s\r\n", FieldString(structure, 0x04));
        ReportAppend(report, "BIOS version: %s\r\n", FieldString(structure, 0x05));
        ReportAppend(report, "BIOS date: %s\r\n", FieldString(structure, 0x08));
        break;
    case 1:
        ReportAppend(report, "System manufacturer: %s\r\n", FieldString(structure, 0x04));
        ReportAppend(report, "Product name: %s\r\n", FieldString(structure, 0x05));
        ReportAppend(report, "Service tag: %s\r\n", FieldString(structure, 0x07));
        break;
    case 3: ReportAppend(report, "Asset tag: %s\r\n", FieldString(structure, 0x08)); break;
    case 4:
        ReportAppend(report, "CPU manufacturer: %s\r\n", FieldString(structure, 0x07));
        ReportAppend(report, "Current CPU speed: %d MHz\r\n", static_cast<int>(FieldWord(structure, 0x16)));
        ReportAppend(report, "External clock: %d MHz\r\n", static_cast<int>(FieldWord(structure, 0x12)));
        ReportAppend(report, "Max. CPU speed supported by board: %d MHz\r\n",
                     static_cast<int>(FieldWord(structure, 0x14)));
        break;
    case 7: FormatCache(report, structure); break;
    case 10: FormatOnBoardDevice(report, structure); break;
    case 17: FormatMemoryDevice(report, structure); break;
    case 22: FormatBattery(report, structure); break;
    default: break;
    }
}

extern "C" void BuildSmbiosReport(char* buffer)
{
    ReportText report;
    ReportBegin(&report, buffer, ZERLO_SMBIOS_REPORT_SIZE);
    switch (SmbiosOpenTable()) {
    case SMBIOS_OPEN_NO_WINDOW: ReportAppend(&report, "*** Error: BIOS segment mapping failed ***"); return;
    case SMBIOS_OPEN_NOT_FOUND: ReportAppend(&report, "*** Error: No SMBIOS found ***"); return;
    case SMBIOS_OPEN_NO_DMI: ReportAppend(&report, "*** Error: Pointer to DMI structures not found ***"); return;
    case SMBIOS_OPEN_UNMAPPED: ReportAppend(&report, "*** Error: SMBIOS table mapping failed ***"); return;
    case SMBIOS_OPEN_READY: break;
    }
    PUCHAR structure = SmbiosState.tableBase;
    const ULONG count = SmbiosStructureCount();
    for (ULONG i = 0; i < count && SmbiosStructureFits(structure); ++i) {
        const ULONG length = SmbiosStructureLength(structure);
        SmbiosFormatStructure(&report, structure);
        structure += length;
    }
}

extern "C" void GetCpuSpeedText(char* buffer)
{
    ReportText text;
    ReportBegin(&text, buffer, ZERLO_CPU_SPEED_TEXT_SIZE);
    ReportAppend(&text, "---");
    // No error text fits in 8 bytes; a caller that needs the reason asks for
    // the report, which gives it whole. "---" stays on every failure.
    if (SmbiosOpenTable() != SMBIOS_OPEN_READY) {
        return;
    }
    PUCHAR structure = SmbiosState.tableBase;
    const ULONG count = SmbiosStructureCount();
    for (ULONG i = 0; i < count && SmbiosStructureFits(structure); ++i) {
        if (structure[0] == 4) {
            ReportBegin(&text, buffer, ZERLO_CPU_SPEED_TEXT_SIZE);
            ReportAppend(&text, "%d", static_cast<int>(FieldWord(structure, 0x16)));
            return;
        }
        structure += SmbiosStructureLength(structure);
    }
}
