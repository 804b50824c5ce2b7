// NTSTATUS values a caller of zerlo can see, by name: the driver's own, the
// I/O manager's and the loader's, and those the Windows transport maps Win32
// errors back to. The client's one list of status names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zerloctl {

struct NtStatus {
    uint32_t value;
    const char* name;
};

inline constexpr NtStatus kNtStatuses[] = {
    {0x00000000u, "STATUS_SUCCESS"},
    {0xC0000001u, "STATUS_UNSUCCESSFUL"},
    {0xC0000002u, "STATUS_NOT_IMPLEMENTED"},
    {0xC000000Du, "STATUS_INVALID_PARAMETER"},
    {0xC0000010u, "STATUS_INVALID_DEVICE_REQUEST"},
    {0xC0000022u, "STATUS_ACCESS_DENIED"},
    {0xC0000023u, "STATUS_BUFFER_TOO_SMALL"},
    {0xC0000034u, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {0xC000009Au, "STATUS_INSUFFICIENT_RESOURCES"},
    {0xC00000BBu, "STATUS_NOT_SUPPORTED"},
};

// A name missing from the list stops the build.
consteval uint32_t Status(std::string_view name)
{
    for (const NtStatus& status : kNtStatuses) {
        if (name == status.name) return status.value;
    }
    throw "not an NTSTATUS name of the list";
}

const char* StatusName(uint32_t status); // null when not in the list
std::string DescribeStatus(uint32_t status);

} // namespace zerloctl
