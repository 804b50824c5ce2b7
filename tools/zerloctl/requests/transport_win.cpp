// The Windows transport: \\.\ZerloDev through the Win32 API.
#include "requests/status_names.h"
#include "requests/transport.h"

#include "frame/zerlo_ioctl.h"

#include <stdexcept>
#include <windows.h>

namespace zerloctl {

namespace {

// Win32 turns the driver's NTSTATUS into an error code; map back the ones
// the driver and the I/O manager give, so both transports report alike.
uint32_t StatusFromWin32(DWORD error)
{
    switch (error) {
    case ERROR_INVALID_PARAMETER: return Status("STATUS_INVALID_PARAMETER");
    case ERROR_INSUFFICIENT_BUFFER: return Status("STATUS_BUFFER_TOO_SMALL");
    case ERROR_ACCESS_DENIED: return Status("STATUS_ACCESS_DENIED");
    case ERROR_INVALID_FUNCTION: return Status("STATUS_INVALID_DEVICE_REQUEST");
    case ERROR_NOT_SUPPORTED: return Status("STATUS_NOT_SUPPORTED");
    default: return Status("STATUS_UNSUCCESSFUL");
    }
}

HANDLE OpenDevice(bool readOnly)
{
    const DWORD access = readOnly ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
    const HANDLE handle =
        CreateFileA(ZERLO_WIN32_PATH, access, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open " ZERLO_WIN32_PATH ": error " + std::to_string(GetLastError()) +
                                 " (is the zerlo service started?)");
    }
    return handle;
}

Reply IoctlOn(HANDLE handle, uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength)
{
    std::vector<uint8_t> in = input;
    std::vector<uint8_t> out(outputLength);
    DWORD returned = 0;
    Reply reply;
    if (DeviceIoControl(handle, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                        out.empty() ? nullptr : out.data(), outputLength, &returned, nullptr)) {
        reply.status = Status("STATUS_SUCCESS");
        reply.information = returned;
        out.resize(returned);
        reply.bytes = std::move(out);
    } else {
        reply.win32Error = GetLastError();
        reply.status = StatusFromWin32(reply.win32Error);
        reply.information = returned;
    }
    return reply;
}

class WindowsTransport : public Transport {
  public:
    explicit WindowsTransport(bool readOnly) : readOnly_(readOnly), handle_(OpenDevice(readOnly_)) {}
    ~WindowsTransport() override { CloseHandle(handle_); }
    WindowsTransport(const WindowsTransport&) = delete;
    WindowsTransport& operator=(const WindowsTransport&) = delete;

    Reply ioctl(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) override
    {
        return IoctlOn(handle_, code, input, outputLength);
    }

    std::vector<Reply> ioctlOnNewHandles(unsigned count, uint32_t code, const std::vector<uint8_t>& input,
                                         uint32_t outputLength) override
    {
        std::vector<HANDLE> handles;
        auto closeAll = [&] {
            DWORD failure = 0;
            for (HANDLE handle : handles) {
                if (!CloseHandle(handle) && failure == 0) failure = GetLastError();
            }
            handles.clear();
            return failure;
        };
        std::vector<Reply> replies;
        try {
            while (handles.size() < count)
                handles.push_back(OpenDevice(readOnly_));
            for (HANDLE handle : handles)
                replies.push_back(IoctlOn(handle, code, input, outputLength));
        } catch (...) {
            closeAll();
            throw;
        }
        if (const DWORD failure = closeAll())
            throw std::runtime_error("closing a handle failed: error " + std::to_string(failure));
        return replies;
    }

  private:
    bool readOnly_;
    HANDLE handle_;
};

// The real device needs no options of its own.
class WindowsPlatform : public Platform {
  public:
    void addOptions(CLI::App&) override {}
    Transport& open(bool readOnly) override
    {
        transport_ = std::make_unique<WindowsTransport>(readOnly);
        return *transport_;
    }
    void finish() override { transport_.reset(); }

  private:
    std::unique_ptr<WindowsTransport> transport_;
};

} // namespace

std::unique_ptr<Platform> MakePlatform()
{
    return std::make_unique<WindowsPlatform>();
}

} // namespace zerloctl
