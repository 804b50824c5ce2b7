#include "kernel.h"

#include "kernel_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zhost {

namespace {

Kernel* gCurrent = nullptr;

bool IsPeFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    char magic[2] = {};
    return file.read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

} // namespace

std::string DefaultDriverPath()
{
    if (const char* path = std::getenv("ZERLO_DRIVER")) return path;
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "zerlo_driver.so").string();
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
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

Kernel::Kernel(Machine& machine) : machine_(machine), impl_(std::make_unique<Impl>(machine))
{
    if (gCurrent != nullptr) BugCheck("a second host kernel booted while one is running");
    gCurrent = this;
}

Kernel::~Kernel()
{
    if (loaded()) unload();
    if (image_ != nullptr) ReleaseImage();
    gCurrent = nullptr;
}

Kernel* Kernel::current()
{
    return gCurrent;
}

NTSTATUS Kernel::load(const std::string& driverPath)
{
    if (image_ != nullptr) BugCheck("driver loaded twice");
    std::string error;
    emulated_ = IsPeFile(driverPath);
    image_ = emulated_ ? OpenEmulatedImage(*this, driverPath, &error) : OpenNativeImage(*this, driverPath, &error);
    if (image_ == nullptr) {
        std::fprintf(stderr, "host kernel: cannot load %s: %s\n", driverPath.c_str(), error.c_str());
        return emulated_ ? STATUS_INVALID_IMAGE_FORMAT : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const NTSTATUS status = image_->start();
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
    image_->unload();
    started_ = false;
    ReleaseImage();
    std::lock_guard lock(impl_->mutex);
    impl_->objects.dropHandles();
}

void Kernel::ReleaseImage()
{
    image_.reset();
}

void* Kernel::symbol(const char* name) const
{
    return image_ == nullptr ? nullptr : image_->symbol(name);
}

CallFigures Kernel::lastCall() const
{
    return image_ == nullptr ? CallFigures{} : image_->lastCall();
}

std::vector<std::string> Kernel::debugLog() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->journal.debugLog();
}

std::vector<std::string> Kernel::journal() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->journal.entries();
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
    for (const auto& [address, mapping] : impl_->memory.mappings())
        live.push_back({address, mapping.physical, mapping.length});
    return live;
}

uint64_t Kernel::mapCalls() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->memory.mapCalls();
}

uint64_t Kernel::bytesMapped() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->memory.bytesMapped();
}

std::vector<std::wstring> Kernel::deviceNames() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->objects.deviceNames();
}

std::vector<std::wstring> Kernel::linkNames() const
{
    std::lock_guard lock(impl_->mutex);
    return impl_->objects.linkNames();
}

void Kernel::setCaller(Caller caller)
{
    std::lock_guard lock(impl_->mutex);
    impl_->caller = caller;
}

void Kernel::failService(KernelService service, bool fail)
{
    std::lock_guard lock(impl_->mutex);
    impl_->faults.failService(service, fail);
}

void Kernel::failMapCall(uint64_t number)
{
    std::lock_guard lock(impl_->mutex);
    impl_->faults.failMapCall(number);
}

void Kernel::clearFaults()
{
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
}

// --- the services ---

NTSTATUS Kernel::createDevice(const std::wstring& name, uint32_t type, uint32_t characteristics,
                              const std::function<uintptr_t()>& makeObject, bool onHostHeap)
{
    std::lock_guard lock(impl_->mutex);
    // Type and characteristics are what a caller's device queries answer.
    char shape[48];
    std::snprintf(shape, sizeof shape, " type 0x%x characteristics 0x%x", type, characteristics);
    impl_->journal.note("IoCreateDevice " + Narrow(name) + shape);
    if (impl_->faults.failing(KernelService::IoCreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;
    if (impl_->objects.hasDevice(name)) return STATUS_OBJECT_NAME_COLLISION;
    impl_->objects.addDevice(name, makeObject(), characteristics, onHostHeap);
    return STATUS_SUCCESS;
}

void Kernel::deleteDevice(uintptr_t object)
{
    std::lock_guard lock(impl_->mutex);
    impl_->journal.note("IoDeleteDevice " + Narrow(impl_->objects.removeDevice(object)));
}

NTSTATUS Kernel::createSymbolicLink(const std::wstring& link, const std::wstring& target)
{
    std::lock_guard lock(impl_->mutex);
    impl_->journal.note("IoCreateSymbolicLink " + Narrow(link) + " " + Narrow(target));
    if (impl_->faults.failing(KernelService::IoCreateSymbolicLink)) return STATUS_INSUFFICIENT_RESOURCES;
    if (impl_->objects.hasLink(link)) return STATUS_OBJECT_NAME_COLLISION;
    impl_->objects.addLink(link, target);
    return STATUS_SUCCESS;
}

NTSTATUS Kernel::deleteSymbolicLink(const std::wstring& link)
{
    std::lock_guard lock(impl_->mutex);
    impl_->journal.note("IoDeleteSymbolicLink " + Narrow(link));
    if (impl_->faults.failing(KernelService::IoDeleteSymbolicLink)) return STATUS_ACCESS_DENIED;
    return impl_->objects.removeLink(link) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

uintptr_t Kernel::mapIoSpace(uint64_t physical, uint64_t length)
{
    std::lock_guard lock(impl_->mutex);
    const bool fail = impl_->faults.failingMapCall(impl_->memory.nextCall());
    std::string entry;
    const Mapping* mapping = impl_->memory.map(physical, length, fail, &entry);
    impl_->journal.note(std::move(entry));
    if (mapping == nullptr) return 0;
    if (image_ != nullptr) image_->mapped(*mapping);
    return mapping->address();
}

void Kernel::unmapIoSpace(uintptr_t address, uint64_t length)
{
    std::lock_guard lock(impl_->mutex);
    std::string entry;
    const Mapping mapping = impl_->memory.take(address, length, &entry);
    impl_->journal.note(std::move(entry));
    if (image_ != nullptr) image_->unmapping(mapping);
    impl_->memory.release(mapping);
}

void Kernel::debugPrint(const std::string& text)
{
    std::lock_guard lock(impl_->mutex);
    impl_->journal.print(text);
}

} // namespace zhost
