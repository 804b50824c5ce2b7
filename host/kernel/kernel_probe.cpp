// What tests probe inside a booted kernel.
#include "kernel_probe.h"

#include "kernel.h"
#include "kernel_state.h"

namespace zhost {

KernelProbe Kernel::probe()
{
    return KernelProbe(*this);
}

void* KernelProbe::symbol(const char* name) const
{
    return kernel_.image_ == nullptr ? nullptr : kernel_.image_->symbol(name);
}

std::vector<std::string> KernelProbe::debugLog() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    return kernel_.impl_->journal.debugLog();
}

std::vector<std::string> KernelProbe::journal() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    return kernel_.impl_->journal.entries();
}

void KernelProbe::clearJournal()
{
    std::lock_guard lock(kernel_.impl_->mutex);
    kernel_.impl_->journal.clear();
}

std::vector<LiveMapping> KernelProbe::liveMappings() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    std::vector<LiveMapping> live;
    for (const auto& [address, mapping] : kernel_.impl_->memory.mappings())
        live.push_back({address, mapping.physical, mapping.length});
    return live;
}

uint64_t KernelProbe::mapCalls() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    return kernel_.impl_->memory.mapCalls();
}

uint64_t KernelProbe::bytesMapped() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    return kernel_.impl_->memory.bytesMapped();
}

std::vector<std::wstring> KernelProbe::deviceNames() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    return kernel_.impl_->objects.deviceNames();
}

std::vector<std::wstring> KernelProbe::linkNames() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    return kernel_.impl_->objects.linkNames();
}

void KernelProbe::failService(KernelService service, bool fail)
{
    std::lock_guard lock(kernel_.impl_->mutex);
    kernel_.impl_->faults.failService(service, fail);
}

void KernelProbe::failMapCall(uint64_t number)
{
    std::lock_guard lock(kernel_.impl_->mutex);
    kernel_.impl_->faults.failMapCall(number);
}

void KernelProbe::clearFaults()
{
    std::lock_guard lock(kernel_.impl_->mutex);
    kernel_.impl_->faults.clear();
}

DriverImage* KernelProbe::image() const
{
    return kernel_.image_.get();
}

void KernelProbe::attendDirectCalls(Request* request)
{
    ThisThread().dispatching = request;
}

} // namespace zhost
