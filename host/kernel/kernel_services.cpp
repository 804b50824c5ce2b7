// The services behind the NT exports, with NT's rules: whatever would
// bug-check Windows stops the kernel here, for both kinds of image.
#include "kernel_services.h"

#include "bug_check.h"
#include "driver_image.h"
#include "kernel.h"
#include "kernel_state.h"

#include <algorithm>
#include <cstdio>

namespace zhost {

namespace {

// More devices than any driver makes: a chain longer than this loops.
constexpr size_t kMaxChainLength = 1024;

const char* MajorName(uint8_t major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    default: return "IRP_MJ_DEVICE_CONTROL";
    }
}

} // namespace

KernelServices Kernel::services()
{
    return KernelServices(*this);
}

FormatCut CutFormatted(size_t length, size_t count)
{
    // As ntoskrnl does it: a text that fits is terminated; a cut one fills
    // all `count` bytes without a terminator and gives -1, or the length
    // when it fills them exactly.
    if (length < count) return {length, true, static_cast<int>(length)};
    return {count, false, length == count ? static_cast<int>(length) : -1};
}

KernelServices KernelServices::Booted(const char* caller)
{
    Kernel* kernel = Kernel::current();
    if (kernel == nullptr) BugCheck("%s with no kernel booted", caller);
    return kernel->services();
}

Machine& KernelServices::machine()
{
    return kernel_.machine_;
}

void KernelServices::checkUnicodeString(const UnicodeStringFields& fields)
{
    if (!fields.present) BugCheck("null UNICODE_STRING passed to the I/O manager");
    if (!fields.hasBuffer || fields.length % sizeof(uint16_t) != 0 || fields.length > fields.maximumLength) {
        BugCheck("malformed UNICODE_STRING (Length %u, MaximumLength %u)", fields.length, fields.maximumLength);
    }
}

uint16_t KernelServices::unicodeLength(size_t bytes)
{
    if (bytes > kMaxUnicodeTextBytes - sizeof(uint16_t)) {
        BugCheck("RtlInitUnicodeString of a text longer than %zu bytes", kMaxUnicodeTextBytes - sizeof(uint16_t));
    }
    return static_cast<uint16_t>(bytes);
}

NTSTATUS KernelServices::createDevice(uintptr_t driver, const std::wstring& name, uint32_t type,
                                      uint32_t characteristics, const std::function<uintptr_t()>& makeObject)
{
    KernelState& impl = *kernel_.impl_;
    DriverImage& image = *kernel_.image_;
    if (driver != image.driverObject()) BugCheck("IoCreateDevice for another driver object");
    std::lock_guard lock(impl.mutex);
    // Type and characteristics are what a caller's device queries answer.
    char shape[48];
    std::snprintf(shape, sizeof shape, " type 0x%x characteristics 0x%x", type, characteristics);
    impl.journal.note("IoCreateDevice " + Narrow(name) + shape);
    if (impl.faults.failing(KernelService::IoCreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    if (impl.objects.hasDevice(name)) return STATUS_OBJECT_NAME_COLLISION;
    const uintptr_t object = makeObject();
    image.setNextDevice(object, image.nextDevice(0));
    image.setNextDevice(0, object);
    impl.objects.addDevice(name, object, characteristics, image.objectsOnHostHeap());
    return STATUS_SUCCESS;
}

void KernelServices::deleteDevice(uintptr_t object)
{
    KernelState& impl = *kernel_.impl_;
    DriverImage& image = *kernel_.image_;
    std::lock_guard lock(impl.mutex);
    const std::optional<std::wstring> name = object == 0 ? std::nullopt : impl.objects.removeDevice(object);
    if (!name) BugCheck("IoDeleteDevice on an unknown device object");
    impl.journal.note("IoDeleteDevice " + Narrow(*name));
    // The driver object heads the chain (field 0); a device found nowhere in
    // it was unlinked behind the kernel's back.
    uintptr_t previous = 0;
    for (size_t walked = 0; image.nextDevice(previous) != object; ++walked) {
        previous = image.nextDevice(previous);
        if (previous == 0 || walked == kMaxChainLength)
            BugCheck("IoDeleteDevice of a device not in its driver's chain");
    }
    image.setNextDevice(previous, image.nextDevice(object));
}

NTSTATUS KernelServices::createSymbolicLink(const std::wstring& link, const std::wstring& target)
{
    KernelState& impl = *kernel_.impl_;
    std::lock_guard lock(impl.mutex);
    impl.journal.note("IoCreateSymbolicLink " + Narrow(link) + " " + Narrow(target));
    if (impl.faults.failing(KernelService::IoCreateSymbolicLink)) return STATUS_INSUFFICIENT_RESOURCES;
    if (impl.objects.hasLink(link)) return STATUS_OBJECT_NAME_COLLISION;
    impl.objects.addLink(link, target);
    return STATUS_SUCCESS;
}

NTSTATUS KernelServices::deleteSymbolicLink(const std::wstring& link)
{
    KernelState& impl = *kernel_.impl_;
    std::lock_guard lock(impl.mutex);
    impl.journal.note("IoDeleteSymbolicLink " + Narrow(link));
    if (impl.faults.failing(KernelService::IoDeleteSymbolicLink)) return STATUS_ACCESS_DENIED;
    return impl.objects.removeLink(link) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void KernelServices::completeRequest(uintptr_t irp, int priorityBoost, NTSTATUS status)
{
    Request* dispatching = ThisThread().dispatching;
    if (dispatching == nullptr || dispatching->irp != irp) {
        BugCheck("IofCompleteRequest of 0x%08llx, which is not the request being dispatched",
                 static_cast<unsigned long long>(irp));
    }
    if (priorityBoost != IO_NO_INCREMENT) BugCheck("request completed with a priority boost");
    if (++dispatching->completions > 1) BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS");
    if (status == -1) BugCheck("request completed without a status");
}

// A thread that acquires a fast mutex it holds waits forever; a release of
// one it does not hold is NT's bug check.
void KernelServices::acquireFastMutex(uintptr_t mutex, bool initialized)
{
    if (!initialized) BugCheck("ExAcquireFastMutex of a FAST_MUTEX never initialized");
    if (!ThisThread().heldMutexes.insert(mutex).second) {
        BugCheck("ExAcquireFastMutex of a fast mutex already held: the thread waits forever");
    }
}

void KernelServices::releaseFastMutex(uintptr_t mutex)
{
    if (ThisThread().heldMutexes.erase(mutex) == 0) BugCheck("ExReleaseFastMutex of a fast mutex not held");
}

uintptr_t KernelServices::mapIoSpace(uint64_t physical, uint64_t length)
{
    KernelState& impl = *kernel_.impl_;
    std::lock_guard lock(impl.mutex);
    const bool fail = impl.faults.failingMapCall(impl.memory.nextCall());
    std::string entry;
    const Mapping* mapping = impl.memory.map(physical, length, fail, &entry);
    impl.journal.note(std::move(entry));
    if (mapping == nullptr) return 0;
    if (kernel_.image_ != nullptr) kernel_.image_->mapped(*mapping);
    return mapping->address();
}

void KernelServices::unmapIoSpace(uintptr_t address, uint64_t length)
{
    KernelState& impl = *kernel_.impl_;
    std::lock_guard lock(impl.mutex);
    const Mapping* found = impl.memory.find(address);
    if (found == nullptr) BugCheck("MmUnmapIoSpace(0x%zx): no mapping starts there", size_t{address});
    if (found->length != length) {
        BugCheck("MmUnmapIoSpace(0x%zx, %llu): mapped with length %u", size_t{address},
                 static_cast<unsigned long long>(length), found->length);
    }
    std::string entry;
    const Mapping mapping = impl.memory.take(address, &entry);
    impl.journal.note(std::move(entry));
    if (kernel_.image_ != nullptr) kernel_.image_->unmapping(mapping);
    impl.memory.release(mapping);
}

void KernelServices::debugPrint(const std::string& text)
{
    KernelState& impl = *kernel_.impl_;
    std::lock_guard lock(impl.mutex);
    impl.journal.print(text);
}

NTSTATUS Kernel::startImage()
{
    const NTSTATUS status = image_->start();
    services().routineReturned("DriverEntry");
    return status;
}

void Kernel::unloadImage()
{
    image_->unload();
    services().routineReturned("DriverUnload");
}

void Kernel::dispatch(uintptr_t device, Request& request, std::span<const uint8_t> input)
{
    ThisThread().dispatching = &request;
    image_->dispatch(device, request);
    ThisThread().dispatching = nullptr;
    services().dispatchReturned(request, input);
}

void KernelServices::routineReturned(const char* routine)
{
    if (!ThisThread().heldMutexes.empty()) BugCheck("%s returned holding a fast mutex", routine);
}

void KernelServices::dispatchReturned(const Request& request, std::span<const uint8_t> input)
{
    routineReturned(MajorName(request.major));
    if (request.completions != 1) BugCheck("%s completed %d times", MajorName(request.major), request.completions);
    if (request.major != IRP_MJ_CLOSE && request.returned != request.status) {
        BugCheck("dispatch returned 0x%08x but completed with 0x%08x", static_cast<unsigned>(request.returned),
                 static_cast<unsigned>(request.status));
    }
    if (request.major != IRP_MJ_DEVICE_CONTROL || (request.code & 3) != METHOD_BUFFERED) return;
    // The system buffer may be longer than the output (a larger input); the
    // driver owns only the output's bytes of it.
    const uint8_t* buffer = request.system.buffer;
    const size_t output = request.outputLength;
    if (request.system.size > output &&
        !std::equal(buffer + output, buffer + request.system.size, input.begin() + output))
        BugCheck("driver wrote past the %u-byte output of request 0x%08x", request.outputLength, request.code);
    if (NT_SUCCESS(request.returned) && request.information > request.outputLength) {
        BugCheck("buffered request completed with %u bytes for a %u-byte output", request.information,
                 request.outputLength);
    }
}

} // namespace zhost
