// The I/O manager's part of the host kernel: open, close and device-control
// requests, with NT's access checks and buffered transfers, and the checks of
// what the driver did with each request.
#include "driver_image.h"
#include "kernel_state.h"

#include <algorithm>
#include <cstring>

namespace zhost {

namespace {

const char* MajorName(uint8_t major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    default: return "IRP_MJ_DEVICE_CONTROL";
    }
}

void CheckStatus(const Request& request)
{
    if (request.returned != request.status) {
        BugCheck("dispatch returned 0x%08x but completed with 0x%08x", static_cast<unsigned>(request.returned),
                 static_cast<unsigned>(request.status));
    }
}

} // namespace

void Kernel::checkNothingHeld(const char* routine)
{
    if (!ThisThread().heldMutexes.empty()) BugCheck("%s returned holding a fast mutex", routine);
}

NTSTATUS Kernel::startImage()
{
    const NTSTATUS status = image_->start();
    checkNothingHeld("DriverEntry");
    return status;
}

void Kernel::unloadImage()
{
    image_->unload();
    checkNothingHeld("DriverUnload");
}

void Kernel::dispatch(uintptr_t device, Request& request)
{
    ThisThread().dispatching = &request;
    image_->dispatch(device, request);
    ThisThread().dispatching = nullptr;
    checkNothingHeld(MajorName(request.major));
    if (request.completions != 1) BugCheck("%s completed %d times", MajorName(request.major), request.completions);
}

NTSTATUS Kernel::open(const std::wstring& name, uint32_t access, Handle* handle)
{
    ResolvedName target;
    Caller caller;
    {
        std::lock_guard lock(impl_->mutex);
        target = impl_->objects.resolve(name);
        caller = impl_->caller;
    }
    if (target.device == 0 || image_ == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    // NT checks the device's security for an open of the device itself; a
    // name below it is the driver's to judge unless the device was created
    // with FILE_DEVICE_SECURE_OPEN.
    const bool checked = target.remainder.empty() || (target.characteristics & FILE_DEVICE_SECURE_OPEN);
    if (checked && caller != Caller::Administrator && (access & kAccessWrite)) return STATUS_ACCESS_DENIED;

    Request request;
    request.major = IRP_MJ_CREATE;
    request.fileName = target.remainder;
    dispatch(target.device, request);
    CheckStatus(request);
    if (!NT_SUCCESS(request.returned)) return request.returned;

    std::lock_guard lock(impl_->mutex);
    *handle = impl_->objects.openHandle({target.device, access, target.remainder});
    return request.returned;
}

NTSTATUS Kernel::close(Handle handle)
{
    OpenHandle open;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->objects.closeHandle(handle, &open)) return STATUS_INVALID_PARAMETER;
    }
    Request request;
    request.major = IRP_MJ_CLOSE;
    request.fileName = open.fileName;
    dispatch(open.device, request);
    return request.returned;
}

IoctlOutcome Kernel::ioctl(Handle handle, uint32_t code, std::span<const uint8_t> input, uint32_t outputLength)
{
    OpenHandle open;
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->objects.findHandle(handle, &open)) return {STATUS_INVALID_PARAMETER, 0, {}};
    }
    // NT checks the access that the code demands against the handle before
    // any driver sees the request.
    const uint32_t requiredAccess = (code >> 14) & 3;
    if ((requiredAccess & FILE_READ_ACCESS) && !(open.access & kAccessRead)) return {STATUS_ACCESS_DENIED, 0, {}};
    if ((requiredAccess & FILE_WRITE_ACCESS) && !(open.access & kAccessWrite)) return {STATUS_ACCESS_DENIED, 0, {}};

    const uint32_t method = code & 3;
    const uint32_t inputLength = static_cast<uint32_t>(input.size());
    // METHOD_BUFFERED: one system buffer of max(input, output) holding the
    // input. The direct methods buffer only the input; METHOD_NEITHER none.
    size_t bufferSize = 0;
    if (method == METHOD_BUFFERED)
        bufferSize = std::max(inputLength, outputLength);
    else if (method != 3)
        bufferSize = inputLength;

    Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.fileName = open.fileName;
    request.code = code;
    request.inputLength = inputLength;
    request.outputLength = outputLength;
    if (bufferSize > 0) {
        {
            std::lock_guard lock(impl_->mutex);
            request.system = impl_->memory.allocatePool(bufferSize);
        }
        uint8_t* buffer = request.system.buffer;
        if (!input.empty()) std::memcpy(buffer, input.data(), input.size());
        std::memset(buffer + input.size(), 0xCD, bufferSize - input.size()); // pool garbage, not zeros
    }
    dispatch(open.device, request);
    CheckStatus(request);

    const uint8_t* buffer = request.system.buffer;
    // The system buffer may be longer than the output (a larger input); the
    // driver owns only the output's bytes of it.
    if (bufferSize > outputLength && method == METHOD_BUFFERED) {
        if (!std::equal(buffer + outputLength, buffer + bufferSize, input.begin() + outputLength)) {
            BugCheck("driver wrote past the %u-byte output of request 0x%08x", outputLength, code);
        }
    }

    IoctlOutcome outcome;
    outcome.status = request.returned;
    outcome.information = request.information;
    if (NT_SUCCESS(request.returned) && method == METHOD_BUFFERED) {
        if (outcome.information > outputLength) {
            BugCheck("buffered request completed with %u bytes for a %u-byte output", outcome.information,
                     outputLength);
        }
        outcome.reply.assign(buffer, buffer + outcome.information);
    }
    if (bufferSize > 0) {
        std::lock_guard lock(impl_->mutex);
        impl_->memory.releasePool(request.system);
    }
    return outcome;
}

} // namespace zhost
