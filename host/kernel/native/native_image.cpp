// A native image: the host build of the driver, a shared object opened afresh
// for every load so that each load starts from the zero state of a new image.
#include "../asan.h"
#include "../bug_check.h"
#include "../driver_image.h"

#include <cstdio>
#include <dlfcn.h>
#include <link.h>
#include <string>
#include <vector>

namespace zhost {

namespace {

constexpr size_t kPage = VirtualArena::kPageSize;

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
// A fuzzer compares them before every load, so by words.
ZHOST_PAGE_COPY void CopyPage(uint8_t* to, const uint8_t* from)
{
    auto* words = reinterpret_cast<uint64_t*>(to);
    for (size_t i = 0; i < kPage / 8; ++i)
        words[i] = reinterpret_cast<const uint64_t*>(from)[i];
}

ZHOST_PAGE_COPY bool SamePage(const uint8_t* a, const uint8_t* b)
{
    uint64_t differ = 0;
    for (size_t i = 0; i < kPage / 8; ++i)
        differ |= reinterpret_cast<const uint64_t*>(a)[i] ^ reinterpret_cast<const uint64_t*>(b)[i];
    return differ == 0;
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

constexpr CSHORT kIoTypeFile = 5;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

class NativeImage final : public DriverImage {
  public:
    explicit NativeImage(void* handle) : handle_(handle) {}
    ~NativeImage() override
    {
        if (!kKeepImage) dlclose(handle_);
    }

    NTSTATUS start() override
    {
        using Entry = NTSTATUS NTAPI (*)(PDRIVER_OBJECT, PUNICODE_STRING);
        auto entry = reinterpret_cast<Entry>(dlsym(handle_, "DriverEntry"));
        if (entry == nullptr) BugCheck("driver image has no DriverEntry");
        driver_.Size = sizeof(DRIVER_OBJECT);
        for (auto& slot : driver_.MajorFunction)
            slot = InvalidDeviceRequest;
        static WCHAR registryPath[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\zerlo";
        UNICODE_STRING path{static_cast<USHORT>(wcslen(registryPath) * sizeof(WCHAR)),
                            static_cast<USHORT>(sizeof registryPath), registryPath};
        return entry(&driver_, &path);
    }

    void unload() override
    {
        if (driver_.DriverUnload == nullptr) BugCheck("driver cannot be unloaded: no unload routine");
        driver_.DriverUnload(&driver_);
    }

    void dispatch(uintptr_t device, Request& request) override
    {
        auto* object = reinterpret_cast<PDEVICE_OBJECT>(device);
        IRP irp{};
        IO_STACK_LOCATION stack{};
        std::wstring name = request.fileName;
        FILE_OBJECT file{};
        file.Type = kIoTypeFile;
        file.Size = sizeof file;
        file.DeviceObject = object;
        file.FileName = {static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                         static_cast<USHORT>((name.size() + 1) * sizeof(WCHAR)), name.data()};
        stack.FileObject = &file;
        irp.Tail.Overlay.CurrentStackLocation = &stack;
        irp.AssociatedIrp.SystemBuffer = request.system.buffer;
        irp.IoStatus.Status = -1;
        irp.IoStatus.Information = 0xDEADBEEF;
        stack.MajorFunction = request.major;
        stack.DeviceObject = object;
        stack.Parameters.DeviceIoControl.IoControlCode = request.code;
        stack.Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
        stack.Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
        request.irp = reinterpret_cast<uintptr_t>(&irp);
        request.returned = driver_.MajorFunction[request.major](object, &irp);
        request.status = irp.IoStatus.Status;
        request.information = static_cast<uint32_t>(irp.IoStatus.Information);
    }

    void* symbol(const char* name) const override { return dlsym(handle_, name); }

    uintptr_t driverObject() const override { return reinterpret_cast<uintptr_t>(&driver_); }
    uintptr_t nextDevice(uintptr_t of) override
    {
        return reinterpret_cast<uintptr_t>(of == 0 ? driver_.DeviceObject
                                                   : reinterpret_cast<PDEVICE_OBJECT>(of)->NextDevice);
    }
    void setNextDevice(uintptr_t of, uintptr_t device) override
    {
        (of == 0 ? driver_.DeviceObject : reinterpret_cast<PDEVICE_OBJECT>(of)->NextDevice) =
            reinterpret_cast<PDEVICE_OBJECT>(device);
    }
    bool objectsOnHostHeap() const override { return true; }

  private:
    void* handle_;
    DRIVER_OBJECT driver_{};
};

} // namespace

std::unique_ptr<DriverImage> OpenNativeImage(Kernel&, const std::string& path, std::string* error)
{
    void* handle = nullptr;
    if (kKeepImage && gKeptImage != nullptr && gKeptImage->path == path) {
        RestoreWritableSegments(*gKeptImage);
        handle = gKeptImage->handle;
    } else {
        if (dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD) != nullptr) {
            BugCheck("%s is still mapped from an earlier load", path.c_str());
        }
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            *error = dlerror();
            return nullptr;
        }
        if (kKeepImage) {
            if (gKeptImage != nullptr) BugCheck("a fuzzing build keeps one driver image only");
            gKeptImage = new KeptImage{path, handle, {}};
            SnapshotWritableSegments(*gKeptImage);
        }
    }
    return std::make_unique<NativeImage>(handle);
}

} // namespace zhost
