#include "mapping_registry.h"

#include "../frame/driver.h"

extern "C" {
MappingEntry RegistryTable[REGISTRY_CAPACITY];
LONG RegistryCount;
ULONG RegistryRefusal;
ULONG RegistryBytesMapped;
}

namespace {

// In 64 bits: a range near 4 GiB must not wrap around and look as if it
// lay inside the BIOS window.
bool RowHolds(const MappingEntry& row, ULONG physical, ULONG length)
{
    const ULONGLONG end = static_cast<ULONGLONG>(physical) + length;
    return physical >= row.physicalAddress && end <= static_cast<ULONGLONG>(row.physicalAddress) + row.length;
}

// A new mapping, within the registry's limits. A range that starts below
// 4 GiB and ends above it is not what any table of 32-bit addresses can
// describe; NT would map it as asked, reaching memory past 4 GiB.
PUCHAR MapPhysical(ULONG physical, ULONG length)
{
    if (static_cast<ULONGLONG>(physical) + length > 0x100000000ULL) {
        RegistryRefusal = REGISTRY_REFUSED_ABOVE_4GB;
        return nullptr;
    }
    if (length > REGISTRY_MAP_LIMIT - RegistryBytesMapped) {
        RegistryRefusal = REGISTRY_REFUSED_LIMIT;
        return nullptr;
    }
    PHYSICAL_ADDRESS address;
    address.QuadPart = physical;
    const PUCHAR mapped = static_cast<PUCHAR>(MmMapIoSpace(address, length, MmNonCached));
    if (mapped == nullptr) {
        RegistryRefusal = REGISTRY_REFUSED_UNMAPPABLE;
        return nullptr;
    }
    RegistryBytesMapped += length;
    return mapped;
}

} // namespace

extern "C" void RegistryReset(PUCHAR biosWindow)
{
    RegistryCount = 0;
    RegistryBytesMapped = 0;
    if (biosWindow == nullptr) {
        return;
    }
    RegistryTable[0].physicalAddress = BIOS_WINDOW_PHYSICAL;
    RegistryTable[0].virtualAddress = biosWindow;
    RegistryTable[0].length = BIOS_WINDOW_LENGTH;
    RegistryTable[0].owned = 0;
    RegistryCount = 1;
}

extern "C" PUCHAR RegistryMap(ULONG physical, ULONG length)
{
    for (LONG i = 0; i < RegistryCount; ++i) {
        if (RowHolds(RegistryTable[i], physical, length)) {
            return RegistryTable[i].virtualAddress + (physical - RegistryTable[i].physicalAddress);
        }
    }
    if (RegistryCount >= REGISTRY_CAPACITY) {
        RegistryRefusal = REGISTRY_REFUSED_FULL;
        return nullptr;
    }
    const PUCHAR mapped = MapPhysical(physical, length);
    if (mapped == nullptr) {
        return nullptr;
    }
    MappingEntry& row = RegistryTable[RegistryCount++];
    row.physicalAddress = physical;
    row.virtualAddress = mapped;
    row.length = length;
    row.owned = REGISTRY_OWNED;
    return mapped;
}

extern "C" PUCHAR RegistryRemap(ULONG physical, ULONG oldLength, ULONG newLength)
{
    for (LONG i = 0; i < RegistryCount; ++i) {
        MappingEntry& row = RegistryTable[i];
        if (row.owned != 0 && row.physicalAddress == physical && row.length == oldLength) {
            // The new mapping comes first, so that a failure leaves the row
            // valid and still released at the end.
            const PUCHAR mapped = MapPhysical(physical, newLength);
            if (mapped == nullptr) {
                return nullptr;
            }
            MmUnmapIoSpace(row.virtualAddress, row.length);
            row.virtualAddress = mapped;
            row.length = newLength;
            return mapped;
        }
    }
    return RegistryMap(physical, newLength);
}

extern "C" void RegistryReleaseAll()
{
    for (LONG i = 0; i < RegistryCount; ++i) {
        if (RegistryTable[i].owned != 0) {
            MmUnmapIoSpace(RegistryTable[i].virtualAddress, RegistryTable[i].length);
        }
    }
    RegistryCount = 0;
}

extern "C" void RegistryList(ReportText* report)
{
    ReportAppend(report, "\r\nPA->VA Mappings:\r\n");
    for (LONG i = 0; i < RegistryCount; ++i) {
        const MappingEntry& row = RegistryTable[i];
        ReportAppend(report, "PA 0x%08x -> VA 0x%08x (%d Bytes)\r\n", static_cast<unsigned>(row.physicalAddress),
                     static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(row.virtualAddress)),
                     static_cast<int>(row.length));
    }
}
