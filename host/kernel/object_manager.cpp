#include "object_manager.h"

#include "kernel.h"

#include <cstdlib>

namespace zhost {

std::wstring ObjectManager::removeDevice(uintptr_t object)
{
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second == object) {
            std::wstring name = it->first;
            devices_.erase(it);
            hostHeap_.erase(object);
            return name;
        }
    }
    BugCheck("IoDeleteDevice on an unknown device object");
}

uintptr_t ObjectManager::resolve(const std::wstring& name) const
{
    std::wstring target = name;
    for (const wchar_t* prefix : {L"\\??\\", L"\\DosDevices\\"}) {
        const std::wstring p(prefix);
        if (target.starts_with(p)) {
            auto link = links_.find(L"\\DosDevices\\" + target.substr(p.size()));
            if (link == links_.end()) return 0;
            target = link->second;
            break;
        }
    }
    auto device = devices_.find(target);
    return device == devices_.end() ? 0 : device->second;
}

Handle ObjectManager::openHandle(uintptr_t device, uint32_t access)
{
    const Handle handle = nextHandle_;
    nextHandle_ += 4;
    handles_[handle] = {device, access};
    return handle;
}

bool ObjectManager::findHandle(Handle handle, OpenHandle* open) const
{
    auto it = handles_.find(handle);
    if (it == handles_.end()) return false;
    *open = it->second;
    return true;
}

bool ObjectManager::closeHandle(Handle handle, OpenHandle* open)
{
    if (!findHandle(handle, open)) return false;
    handles_.erase(handle);
    return true;
}

std::vector<std::wstring> ObjectManager::deviceNames() const
{
    std::vector<std::wstring> names;
    for (const auto& [name, device] : devices_)
        names.push_back(name);
    return names;
}

std::vector<std::wstring> ObjectManager::linkNames() const
{
    std::vector<std::wstring> names;
    for (const auto& [name, target] : links_)
        names.push_back(name);
    return names;
}

ObjectManager::~ObjectManager()
{
    for (uintptr_t object : hostHeap_)
        std::free(reinterpret_cast<void*>(object));
}

} // namespace zhost
