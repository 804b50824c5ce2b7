// Faults a test asks for: services that refuse, and MmMapIoSpace calls (by
// their 1-based number since boot) that return null. Guarded by the kernel's
// lock.
#pragma once

#include <cstdint>
#include <set>

namespace zhost {

enum class KernelService { IoCreateDevice, IoCreateSymbolicLink, IoDeleteSymbolicLink };

class FaultInjection {
  public:
    void failService(KernelService service, bool fail)
    {
        if (fail)
            services_.insert(service);
        else
            services_.erase(service);
    }
    void failMapCall(uint64_t number) { mapCalls_.insert(number); }
    void clear()
    {
        services_.clear();
        mapCalls_.clear();
    }
    bool failing(KernelService service) const { return services_.contains(service); }
    bool failingMapCall(uint64_t number) const { return mapCalls_.contains(number); }
    bool operator==(const FaultInjection&) const = default;

  private:
    std::set<KernelService> services_;
    std::set<uint64_t> mapCalls_;
};

} // namespace zhost
