#include "kernel.h"

#include "driver_image.h"
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

} // namespace zhost
