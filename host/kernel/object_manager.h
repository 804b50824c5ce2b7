// The object manager's part of the host kernel: named devices, the links to
// them and the handles opened on them. A device is known by the address of
// its DEVICE_OBJECT in the driver's own address space: a host pointer for a
// native image, an address of the emulated machine for zerlo.sys. Guarded by
// the kernel's lock.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace zhost {

using Handle = uint32_t;

// Access rights of a handle, as CreateFile asks for them.
constexpr uint32_t kAccessRead = 0x1;  // FILE_READ_DATA
constexpr uint32_t kAccessWrite = 0x2; // FILE_WRITE_DATA

// Who opens. A device's security is the default NT gives a named device:
// everyone may read, administrators (and the system) may also write.
enum class Caller { Administrator, User };

struct OpenHandle {
    uintptr_t device = 0;
    uint32_t access = 0;
    std::wstring fileName; // below the device, as its create request carried it
    bool operator==(const OpenHandle&) const = default;
};

// What an open's name leads to: the device, its characteristics as created,
// and the rest of the name below it ("" for the device itself).
struct ResolvedName {
    uintptr_t device = 0;
    uint32_t characteristics = 0;
    std::wstring remainder;
};

class ObjectManager {
  public:
    ObjectManager() = default;
    // Copied whole by a kernel's snapshot.
    ObjectManager(const ObjectManager&) = default;
    ObjectManager& operator=(const ObjectManager&) = default;
    bool operator==(const ObjectManager&) const = default;

    bool hasDevice(const std::wstring& name) const { return devices_.contains(name); }
    // A device object on the host's heap is freed by the object manager if
    // the driver leaves it behind.
    void addDevice(const std::wstring& name, uintptr_t object, uint32_t characteristics, bool onHostHeap)
    {
        devices_[name] = {object, characteristics};
        if (onHostHeap) hostHeap_.insert(object);
    }
    // The name the device had; nothing for an object it does not know.
    std::optional<std::wstring> removeDevice(uintptr_t object);
    bool hasLink(const std::wstring& link) const { return links_.contains(link); }
    void addLink(const std::wstring& link, const std::wstring& target) { links_[link] = target; }
    bool removeLink(const std::wstring& link) { return links_.erase(link) != 0; }

    // A device name or a \DosDevices\ (or \??\) link to one, either
    // followed by a name below the device; device 0 if none.
    ResolvedName resolve(const std::wstring& name) const;

    Handle openHandle(OpenHandle open);
    bool findHandle(Handle handle, OpenHandle* open) const;
    bool closeHandle(Handle handle, OpenHandle* open);
    void dropHandles() { handles_.clear(); }

    std::vector<std::wstring> deviceNames() const;
    std::vector<std::wstring> linkNames() const;
    ~ObjectManager();

  private:
    struct Device {
        uintptr_t object;
        uint32_t characteristics;
        bool operator==(const Device&) const = default;
    };
    std::map<std::wstring, Device> devices_;
    std::map<std::wstring, std::wstring> links_;
    std::map<Handle, OpenHandle> handles_;
    std::set<uintptr_t> hostHeap_;
    Handle nextHandle_ = 4;
};

} // namespace zhost
