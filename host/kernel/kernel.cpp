#include "kernel.h"

#include "virtual_arena.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <link.h>
#include <map>
#include <set>
#include <unistd.h>

#include "asan.h"

namespace zhost {

namespace {

// Firmware mappings live in one fixed range and request buffers in another,
// so that mapping addresses depend only on the sequence of mappings.
constexpr uintptr_t kMappingArenaBase = 0x20000000;
constexpr size_t kMappingArenaSize = 0x40000000;
constexpr uintptr_t kPoolArenaBase = 0x60000000; // ASan shadow memory starts at 0x7fff8000
constexpr size_t kPoolArenaSize = 0x10000000;
constexpr size_t kPage = VirtualArena::kPageSize;

Kernel* gCurrent = nullptr;

// libFuzzer keeps pointers into every instrumented image it has seen, so a
// fuzzing build cannot close the driver's image. There the image stays
// mapped and each load restores its writable segments to the bytes they
// held right after the first dlopen: the same zero state a fresh mapping of
// the image gives.
#ifdef ZHOST_KEEP_DRIVER_IMAGE
constexpr bool kKeepImage = true;
#else
constexpr bool kKeepImage = false;
#endif

struct KeptImage {
    std::string path;
    void* handle = nullptr;
    std::vector<std::pair<uint8_t*, std::vector<uint8_t>>> pristine; // writable pages as first loaded
};
KeptImage* gKeptImage = nullptr;

// Whole pages of the image hold ASan's redzones between globals as well.
__attribute__((no_sanitize("address"))) void CopyPage(uint8_t* to, const uint8_t* from)
{
    for (size_t i = 0; i < kPage; ++i)
        to[i] = from[i];
}

__attribute__((no_sanitize("address"))) bool SamePage(const uint8_t* a, const uint8_t* b)
{
    for (size_t i = 0; i < kPage; ++i) {
        if (a[i] != b[i]) return false;
    }
    return true;
}

void SnapshotWritableSegments(KeptImage& image)
{
    void* anySymbol = dlsym(image.handle, "DriverEntry");
    Dl_info info;
    if (anySymbol == nullptr || dladdr(anySymbol, &info) == 0) BugCheck("cannot locate the driver image");
    struct Search {
        const void* base;
        KeptImage* image;
    } search{info.dli_fbase, &image};
    dl_iterate_phdr(
        [](dl_phdr_info* phdr, size_t, void* data) {
            auto* search = static_cast<Search*>(data);
            bool mine = false;
            for (int i = 0; i < phdr->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = phdr->dlpi_phdr[i];
                if (segment.p_type == PT_LOAD && segment.p_offset == 0 &&
                    reinterpret_cast<const void*>(phdr->dlpi_addr + segment.p_vaddr) == search->base) {
                    mine = true;
                }
            }
            if (!mine) return 0;
            for (int i = 0; i < phdr->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = phdr->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_W)) continue;
                const uintptr_t start = (phdr->dlpi_addr + segment.p_vaddr) & ~(kPage - 1);
                const uintptr_t end = (phdr->dlpi_addr + segment.p_vaddr + segment.p_memsz + kPage - 1) & ~(kPage - 1);
                for (uintptr_t page = start; page < end; page += kPage) {
                    auto* bytes = reinterpret_cast<uint8_t*>(page);
                    std::vector<uint8_t> copy(kPage);
                    CopyPage(copy.data(), bytes);
                    search->image->pristine.emplace_back(bytes, std::move(copy));
                }
            }
            return 1;
        },
        &search);
    if (image.pristine.empty()) BugCheck("driver image has no writable segment");
}

void RestoreWritableSegments(const KeptImage& image)
{
    // Pages made read-only after relocation never change, so only pages
    // that differ are written.
    for (const auto& [page, bytes] : image.pristine) {
        if (!SamePage(page, bytes.data())) CopyPage(page, bytes.data());
    }
}

size_t PagesFor(uintptr_t offsetInPage, size_t length)
{
    return (offsetInPage + length + kPage - 1) / kPage;
}

std::wstring NameOf(PUNICODE_STRING name)
{
    if (name == nullptr || name->Buffer == nullptr) BugCheck("null UNICODE_STRING passed to the I/O manager");
    if (name->Length % sizeof(WCHAR) != 0 || name->Length > name->MaximumLength) {
        BugCheck("malformed UNICODE_STRING (Length %u, MaximumLength %u)", name->Length, name->MaximumLength);
    }
    return std::wstring(name->Buffer, name->Length / sizeof(WCHAR));
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

struct Mapping {
    uintptr_t blockStart;
    size_t pages;
    uint32_t physical;
    uint32_t length;
};

struct OpenHandle {
    PDEVICE_OBJECT device;
    uint32_t access;
};

} // namespace

struct Kernel::Impl {
    mutable std::mutex mutex;
    VirtualArena mappingArena{kMappingArenaBase, kMappingArenaSize};
    VirtualArena poolArena{kPoolArenaBase, kPoolArenaSize};
    std::map<uintptr_t, Mapping> mappings; // keyed by the virtual address handed out
    uint64_t mapCalls = 0;
    uint64_t bytesMapped = 0;
    std::set<uint64_t> failingMapCalls;
    std::set<KernelService> failingServices;
    std::vector<std::string> debugLog;
    std::vector<std::string> journal;

    void note(std::string entry)
    {
        if (journal.size() < (1u << 16)) journal.push_back(std::move(entry));
    }

    DRIVER_OBJECT driverObject{};
    std::map<std::wstring, PDEVICE_OBJECT> devices;
    std::map<std::wstring, std::wstring> links;
    std::map<Handle, OpenHandle> handles;
    Handle nextHandle = 4;

    bool failing(KernelService service) const { return failingServices.contains(service); }

    PDEVICE_OBJECT resolve(const std::wstring& name) const
    {
        std::wstring target = name;
        for (const wchar_t* prefix : {L"\\??\\", L"\\DosDevices\\"}) {
            const std::wstring p(prefix);
            if (target.starts_with(p)) {
                auto link = links.find(L"\\DosDevices\\" + target.substr(p.size()));
                if (link == links.end()) return nullptr;
                target = link->second;
                break;
            }
        }
        auto device = devices.find(target);
        return device == devices.end() ? nullptr : device->second;
    }

    // A buffer of the I/O manager's pool that ends against a guard page, so
    // that a write past it faults even without ASan.
    std::pair<uint8_t*, std::pair<uintptr_t, size_t>> allocatePool(size_t size)
    {
        const size_t rounded = (size + 7) & ~size_t{7};
        const size_t pages = PagesFor(0, rounded);
        const uintptr_t start = poolArena.allocate(pages);
        if (start == 0) BugCheck("host kernel pool exhausted");
        auto* buffer = reinterpret_cast<uint8_t*>(start + pages * kPage - rounded);
        ZHOST_POISON(reinterpret_cast<void*>(start), pages * kPage - rounded);
        ZHOST_POISON(buffer + size, rounded - size);
        return {buffer, {start, pages}};
    }
};

std::string DefaultDriverPath()
{
    if (const char* path = std::getenv("ZERLO_DRIVER")) return path;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "zerlo_driver.so").string();
}

void BugCheck(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "*** STOP: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

Kernel::Kernel(Machine& machine) : machine_(machine), impl_(std::make_unique<Impl>())
{
    if (gCurrent != nullptr) BugCheck("a second host kernel booted while one is running");
    gCurrent = this;
}

Kernel::~Kernel()
{
    if (loaded()) unload();
    if (image_ != nullptr) ReleaseImage();
    // Devices a driver left behind die with the machine.
    for (auto& [name, device] : impl_->devices)
        std::free(device);
    gCurrent = nullptr;
}

Kernel* Kernel::current()
{
    return gCurrent;
}

NTSTATUS Kernel::load(const std::string& driverPath)
{
    if (image_ != nullptr) BugCheck("driver loaded twice");
    if (kKeepImage && gKeptImage != nullptr && gKeptImage->path == driverPath) {
        RestoreWritableSegments(*gKeptImage);
        image_ = gKeptImage->handle;
    } else {
        if (dlopen(driverPath.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            BugCheck("%s is still mapped from an earlier load", driverPath.c_str());
        }
        image_ = dlopen(driverPath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (image_ == nullptr) {
            std::fprintf(stderr, "host kernel: cannot load %s: %s\n", driverPath.c_str(), dlerror());
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (kKeepImage) {
            if (gKeptImage != nullptr) BugCheck("a fuzzing build keeps one driver image only");
            gKeptImage = new KeptImage{driverPath, image_, {}};
            SnapshotWritableSegments(*gKeptImage);
        }
    }
    using Entry = NTSTATUS NTAPI (*)(PDRIVER_OBJECT, PUNICODE_STRING);
    auto entry = reinterpret_cast<Entry>(dlsym(image_, "DriverEntry"));
    if (entry == nullptr) BugCheck("driver image has no DriverEntry");

    DRIVER_OBJECT& driver = impl_->driverObject;
    driver = DRIVER_OBJECT{};
    driver.Size = sizeof(DRIVER_OBJECT);
    for (auto& slot : driver.MajorFunction)
        slot = InvalidDeviceRequest;

    static WCHAR registryPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zerlo";
    UNICODE_STRING path{static_cast<USHORT>(wcslen(registryPath) * sizeof(WCHAR)),
                        static_cast<USHORT>(sizeof registryPath), registryPath};
    const NTSTATUS status = entry(&driver, &path);
    if (!NT_SUCCESS(status)) {
        // NT drops an image whose start failed without calling its unload.
        ReleaseImage();
        return status;
    }
    started_ = true;
    return status;
}

void Kernel::unload()
{
    if (!loaded()) BugCheck("unload without a loaded driver");
    if (impl_->driverObject.DriverUnload == nullptr) BugCheck("driver cannot be unloaded: no unload routine");
    impl_->driverObject.DriverUnload(&impl_->driverObject);
    started_ = false;
    ReleaseImage();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->handles.clear();
    }
}

void Kernel::ReleaseImage()
{
    if (!kKeepImage) dlclose(image_);
    image_ = nullptr;
}

void* Kernel::symbol(const char* name) const
{
    return image_ == nullptr ? nullptr : dlsym(image_, name);
}

NTSTATUS Kernel::open(const std::wstring& name, uint32_t access, Handle* handle)
{
    PDEVICE_OBJECT device;
    {
        std::lock_guard lock(impl_->mutex);
        device = impl_->resolve(name);
    }
    if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;

    IrpRecord record{};
    record.irp.Tail.Overlay.CurrentStackLocation = &record.stack;
    record.stack.MajorFunction = IRP_MJ_CREATE;
    record.stack.DeviceObject = device;
    record.irp.IoStatus.Status = -1;
    const NTSTATUS status = device->DriverObject->MajorFunction[IRP_MJ_CREATE](device, &record.irp);
    if (record.completions != 1) BugCheck("IRP_MJ_CREATE completed %d times", record.completions);
    if (status != record.irp.IoStatus.Status) BugCheck("IRP_MJ_CREATE returned a status other than it completed");
    if (!NT_SUCCESS(status)) return status;

    std::lock_guard lock(impl_->mutex);
    *handle = impl_->nextHandle;
    impl_->nextHandle += 4;
    impl_->handles[*handle] = {device, access};
    return status;
}

NTSTATUS Kernel::close(Handle handle)
{
    OpenHandle open;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->handles.find(handle);
        if (it == impl_->handles.end()) return STATUS_INVALID_PARAMETER;
        open = it->second;
        impl_->handles.erase(it);
    }
    IrpRecord record{};
    record.irp.Tail.Overlay.CurrentStackLocation = &record.stack;
    record.stack.MajorFunction = IRP_MJ_CLOSE;
    record.stack.DeviceObject = open.device;
    const NTSTATUS status = open.device->DriverObject->MajorFunction[IRP_MJ_CLOSE](open.device, &record.irp);
    if (record.completions != 1) BugCheck("IRP_MJ_CLOSE completed %d times", record.completions);
    return status;
}

IoctlOutcome Kernel::ioctl(Handle handle, uint32_t code, std::span<const uint8_t> input, uint32_t outputLength)
{
    OpenHandle open;
    {
        std::lock_guard lock(impl_->mutex);
        auto it = impl_->handles.find(handle);
        if (it == impl_->handles.end()) return {STATUS_INVALID_PARAMETER, 0, {}};
        open = it->second;
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

    IrpRecord record{};
    std::pair<uintptr_t, size_t> block{0, 0};
    if (bufferSize > 0) {
        std::unique_lock lock(impl_->mutex);
        auto [buffer, where] = impl_->allocatePool(bufferSize);
        lock.unlock();
        block = where;
        if (!input.empty()) std::memcpy(buffer, input.data(), input.size());
        std::memset(buffer + input.size(), 0xCD, bufferSize - input.size()); // pool garbage, not zeros
        record.irp.AssociatedIrp.SystemBuffer = buffer;
    }
    record.irp.Tail.Overlay.CurrentStackLocation = &record.stack;
    record.irp.IoStatus.Status = -1;
    record.irp.IoStatus.Information = 0xDEADBEEF;
    record.stack.MajorFunction = IRP_MJ_DEVICE_CONTROL;
    record.stack.DeviceObject = open.device;
    record.stack.Parameters.DeviceIoControl.IoControlCode = code;
    record.stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    record.stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;

    const NTSTATUS status = open.device->DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL](open.device, &record.irp);
    if (record.completions != 1) BugCheck("IRP_MJ_DEVICE_CONTROL completed %d times", record.completions);
    if (status != record.irp.IoStatus.Status) {
        BugCheck("dispatch returned 0x%08x but completed with 0x%08x", static_cast<unsigned>(status),
                 static_cast<unsigned>(record.irp.IoStatus.Status));
    }

    // The system buffer may be longer than the output (a larger input); the
    // driver owns only the output's bytes of it.
    if (bufferSize > outputLength && method == METHOD_BUFFERED) {
        const auto* buffer = static_cast<const uint8_t*>(record.irp.AssociatedIrp.SystemBuffer);
        if (!std::equal(buffer + outputLength, buffer + bufferSize, input.begin() + outputLength)) {
            BugCheck("driver wrote past the %u-byte output of request 0x%08x", outputLength, code);
        }
    }

    IoctlOutcome outcome;
    outcome.status = status;
    outcome.information = static_cast<uint32_t>(record.irp.IoStatus.Information);
    if (NT_SUCCESS(status) && method == METHOD_BUFFERED) {
        if (outcome.information > outputLength) {
            BugCheck("buffered request completed with %u bytes for a %u-byte output", outcome.information,
                     outputLength);
        }
        const auto* buffer = static_cast<const uint8_t*>(record.irp.AssociatedIrp.SystemBuffer);
        outcome.reply.assign(buffer, buffer + outcome.information);
    }
    if (block.first != 0) {
        std::lock_guard lock(impl_->mutex);
        impl_->poolArena.release(block.first, block.second);
    }
    return outcome;
}

std::vector<std::string> Kernel::debugLog() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->debugLog;
}

std::vector<std::string> Kernel::journal() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->journal;
}

void Kernel::clearJournal()
{
    std::lock_guard lock(impl_->mutex);
    impl_->journal.clear();
}

std::vector<LiveMapping> Kernel::liveMappings() const
{
    std::lock_guard lock(impl_->mutex);
    std::vector<LiveMapping> live;
    for (const auto& [address, mapping] : impl_->mappings) {
        live.push_back({address, mapping.physical, mapping.length});
    }
    return live;
}

uint64_t Kernel::mapCalls() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->mapCalls;
}

uint64_t Kernel::bytesMapped() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->bytesMapped;
}

std::vector<std::wstring> Kernel::deviceNames() const
{
    std::lock_guard lock(impl_->mutex);
    std::vector<std::wstring> names;
    for (const auto& [name, device] : impl_->devices)
        names.push_back(name);
    return names;
}

std::vector<std::wstring> Kernel::linkNames() const
{
    std::lock_guard lock(impl_->mutex);
    std::vector<std::wstring> names;
    for (const auto& [name, target] : impl_->links)
        names.push_back(name);
    return names;
}

void Kernel::failService(KernelService service, bool fail)
{
    std::lock_guard lock(impl_->mutex);
    if (fail)
        impl_->failingServices.insert(service);
    else
        impl_->failingServices.erase(service);
}

void Kernel::failMapCall(uint64_t number)
{
    std::lock_guard lock(impl_->mutex);
    impl_->failingMapCalls.insert(number);
}

void Kernel::clearFaults()
{
    std::lock_guard lock(impl_->mutex);
    impl_->failingMapCalls.clear();
    impl_->failingServices.clear();
}

NTSTATUS Kernel::createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                              ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* device)
{
    (void)exclusive;
    const std::wstring deviceName = NameOf(name);
    std::lock_guard lock(impl_->mutex);
    impl_->note("IoCreateDevice " + Narrow(deviceName));
    if (impl_->failing(KernelService::IoCreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    if (impl_->devices.contains(deviceName)) return STATUS_OBJECT_NAME_COLLISION;
    auto* object = static_cast<PDEVICE_OBJECT>(std::calloc(1, sizeof(DEVICE_OBJECT) + extensionSize));
    object->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    object->ReferenceCount = 0;
    object->DriverObject = driver;
    object->DeviceType = type;
    object->Characteristics = characteristics;
    object->Flags = DO_DEVICE_INITIALIZING;
    object->DeviceExtension = extensionSize ? object + 1 : nullptr;
    object->NextDevice = driver->DeviceObject;
    driver->DeviceObject = object;
    impl_->devices[deviceName] = object;
    *device = object;
    return STATUS_SUCCESS;
}

void Kernel::deleteDevice(PDEVICE_OBJECT device)
{
    std::lock_guard lock(impl_->mutex);
    auto it = std::find_if(impl_->devices.begin(), impl_->devices.end(),
                           [device](const auto& entry) { return entry.second == device; });
    if (device == nullptr || it == impl_->devices.end()) BugCheck("IoDeleteDevice on an unknown device object");
    impl_->note("IoDeleteDevice " + Narrow(it->first));
    impl_->devices.erase(it);
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != device)
        link = &(*link)->NextDevice;
    *link = device->NextDevice;
    std::free(device);
}

NTSTATUS Kernel::createSymbolicLink(PUNICODE_STRING link, PUNICODE_STRING target)
{
    const std::wstring linkName = NameOf(link);
    const std::wstring targetName = NameOf(target);
    std::lock_guard lock(impl_->mutex);
    impl_->note("IoCreateSymbolicLink " + Narrow(linkName) + " " + Narrow(targetName));
    if (impl_->failing(KernelService::IoCreateSymbolicLink)) return STATUS_INSUFFICIENT_RESOURCES;
    if (impl_->links.contains(linkName)) return STATUS_OBJECT_NAME_COLLISION;
    impl_->links[linkName] = targetName;
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::deleteSymbolicLink(PUNICODE_STRING link)
{
    const std::wstring linkName = NameOf(link);
    std::lock_guard lock(impl_->mutex);
    impl_->note("IoDeleteSymbolicLink " + Narrow(linkName));
    if (impl_->failing(KernelService::IoDeleteSymbolicLink)) return STATUS_ACCESS_DENIED;
    return impl_->links.erase(linkName) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

void Kernel::completeRequest(PIRP irp)
{
    auto* record = reinterpret_cast<IrpRecord*>(irp);
    if (++record->completions > 1) BugCheck("MULTIPLE_IRP_COMPLETE_REQUESTS");
    if (irp->IoStatus.Status == -1) BugCheck("request completed without a status");
}

PVOID Kernel::mapIoSpace(PHYSICAL_ADDRESS address, SIZE_T length, MEMORY_CACHING_TYPE cacheType)
{
    (void)cacheType;
    std::lock_guard lock(impl_->mutex);
    const uint64_t call = ++impl_->mapCalls;
    char entry[96];
    std::snprintf(entry, sizeof entry, "MmMapIoSpace 0x%08x %zu", static_cast<unsigned>(address.LowPart),
                  size_t{length});
    if (impl_->failingMapCalls.contains(call) || length == 0 || address.HighPart != 0 ||
        uint64_t{address.LowPart} + length > (uint64_t{1} << 32)) {
        impl_->note(std::string(entry) + " -> null");
        return nullptr;
    }
    const uint32_t physical = address.LowPart;
    const uintptr_t offset = physical % kPage;
    const size_t pages = PagesFor(offset, length);
    const uintptr_t start = impl_->mappingArena.allocate(pages);
    if (start == 0) return nullptr;
    auto* bytes = reinterpret_cast<uint8_t*>(start + offset);
    machine_.memory.read(physical, std::span<uint8_t>(bytes, length));
    impl_->mappingArena.makeReadOnly(start, pages);
    // Bytes of the pages outside the asked range are not part of the
    // mapping; ASan builds catch a read of them.
    ZHOST_POISON(reinterpret_cast<void*>(start), offset);
    ZHOST_POISON(bytes + length, pages * kPage - offset - length);
    impl_->mappings[start + offset] = {start, pages, physical, static_cast<uint32_t>(length)};
    impl_->bytesMapped += length;
    char result[32];
    std::snprintf(result, sizeof result, " -> 0x%08zx", static_cast<size_t>(start + offset));
    impl_->note(entry + std::string(result));
    return bytes;
}

void Kernel::unmapIoSpace(PVOID address, SIZE_T length)
{
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->mappings.find(reinterpret_cast<uintptr_t>(address));
    if (it == impl_->mappings.end()) BugCheck("MmUnmapIoSpace(%p): no mapping starts there", address);
    if (it->second.length != length) {
        BugCheck("MmUnmapIoSpace(%p, %zu): mapped with length %u", address, size_t{length}, it->second.length);
    }
    char entry[96];
    std::snprintf(entry, sizeof entry, "MmUnmapIoSpace 0x%08zx %zu", reinterpret_cast<size_t>(address), size_t{length});
    impl_->note(entry);
    impl_->mappingArena.release(it->second.blockStart, it->second.pages);
    impl_->mappings.erase(it);
}

void Kernel::debugPrint(const std::string& text)
{
    std::lock_guard lock(impl_->mutex);
    impl_->debugLog.push_back(text);
}

} // namespace zhost
