#include "requests/status_names.h"

#include <cstdio>

namespace zerloctl {

const char* StatusName(uint32_t status)
{
    for (const NtStatus& known : kNtStatuses) {
        if (known.value == status) return known.name;
    }
    return nullptr;
}

std::string DescribeStatus(uint32_t status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    const char* name = StatusName(status);
    return name ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

} // namespace zerloctl
