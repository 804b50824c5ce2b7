// Firmware from a hostile or broken BIOS: physical memory built from the
// fuzzer's bytes (seeded with the test profiles' BIOS window, EBDA, BIOS
// data area and tables), then the SMBIOS report, the CPU-speed text and two
// ACPI surveys in a row, then unload. The first byte may make one
// MmMapIoSpace call fail, so the failure paths meet odd firmware too.
// Beyond the host kernel's own checks (reads outside mappings, writes past
// the output), every text must end inside its reply, the registry must stay
// within its rows, every live mapping must be one the driver accounts for,
// and unload must leave nothing. Built twice: on the host build of the
// driver and on zerlo.sys (session.h).
#include "session.h"

#include "firmware/mapping_registry.h"
#include "firmware/smbios_access.h"

#include <algorithm>

namespace {

[[noreturn]] void Fail(const char* what)
{
    zfuzz::Fail("firmware", what);
}

template <class T> T& DriverVariable(zhost::Kernel& kernel, const char* name)
{
    void* found = kernel.probe().symbol(name);
    if (found == nullptr) Fail(name);
    return *static_cast<T*>(found);
}

void RequestText(zhost::Kernel& kernel, zhost::Handle handle, uint32_t code, uint32_t size)
{
    const auto outcome = kernel.ioctl(handle, code, {}, size);
    if (outcome.status != STATUS_SUCCESS || outcome.information != size || outcome.reply.size() != size) {
        Fail("text request not answered with its reply length");
    }
    const auto end = std::find(outcome.reply.begin(), outcome.reply.end(), uint8_t{0});
    if (end == outcome.reply.end()) Fail("text reply without terminator");
    if (std::count(end, outcome.reply.end(), uint8_t{0}) != outcome.reply.end() - end) Fail("stale bytes after a text");
}

// Every mapping alive between requests belongs to the BIOS window, a row the
// registry made or the SMBIOS table's own mapping; anything else leaked.
void CheckMappings(zhost::Kernel& kernel)
{
    // zerlo.sys keeps its variables in emulated memory; its mappings are
    // still checked after unload.
    if (kernel.emulated()) return;
    const LONG rows = DriverVariable<LONG>(kernel, "RegistryCount");
    if (rows < 0 || rows > REGISTRY_CAPACITY) Fail("registry count outside its rows");
    const MappingEntry* table = &DriverVariable<MappingEntry>(kernel, "RegistryTable");
    size_t expected = DriverVariable<PUCHAR>(kernel, "BiosWindow") != nullptr ? 1 : 0;
    for (LONG i = 0; i < rows; ++i)
        expected += table[i].owned != 0 ? 1 : 0;
    if (DriverVariable<SmbiosStateRecord>(kernel, "SmbiosState").ownTableMapped != 0) ++expected;
    if (kernel.probe().liveMappings().size() != expected) Fail("a live mapping nobody accounts for");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    zfuzz::FuzzInput in(data, size);
    const uint8_t failingMapCall = in.byte();
    zfuzz::Session& session = zfuzz::TheSession();
    zhost::Kernel& kernel = session.begin(zfuzz::Board::kBare, zfuzz::ReadRegions(in), failingMapCall);

    RequestText(kernel, session.handle, IOCTL_GET_SMBIOS_REPORT, ZERLO_SMBIOS_REPORT_SIZE);
    CheckMappings(kernel);
    RequestText(kernel, session.handle, IOCTL_GET_CPU_SPEED, ZERLO_CPU_SPEED_TEXT_SIZE);
    CheckMappings(kernel);
    for (int survey = 0; survey < 2; ++survey) {
        RequestText(kernel, session.handle, IOCTL_GET_ACPI_REPORT, ZERLO_ACPI_REPORT_SIZE);
        CheckMappings(kernel);
    }
    session.end();
    return 0;
}
