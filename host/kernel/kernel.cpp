// The host kernel's boot and the driver's load, and the requests a caller
// makes: open, close and device control, with NT's access checks and
// buffered transfers. The calls into the driver, and what NT checks when
// they return, are the kernel's services' (kernel_services.cpp).
#include "kernel.h"

#include "bug_check.h"
#include "driver_image.h"
#include "kernel_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

Kernel::Kernel(Machine& machine) : machine_(machine), impl_(std::make_unique<KernelState>(machine))
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
    const NTSTATUS status = startImage();
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
    unloadImage();
    started_ = false;
    ReleaseImage();
    std::lock_guard lock(impl_->mutex);
    impl_->objects.dropHandles();
}

void Kernel::ReleaseImage()
{
    image_.reset();
}

CallFigures Kernel::lastCall() const
{
    return image_ == nullptr ? CallFigures{} : image_->lastCall();
}

void Kernel::setCaller(Caller caller)
{
    std::lock_guard lock(impl_->mutex);
    impl_->caller = caller;
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
    dispatch(open.device, request, input);

    const uint8_t* buffer = request.system.buffer;
    IoctlOutcome outcome;
    outcome.status = request.returned;
    outcome.information = request.information;
    if (NT_SUCCESS(request.returned) && method == METHOD_BUFFERED)
        outcome.reply.assign(buffer, buffer + outcome.information);
    if (bufferSize > 0) {
        std::lock_guard lock(impl_->mutex);
        impl_->memory.releasePool(request.system);
    }
    return outcome;
}

} // namespace zhost
