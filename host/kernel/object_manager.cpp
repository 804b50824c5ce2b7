#include "object_manager.h"

#include <cstdlib>

namespace zhost {

std::optional<std::wstring> ObjectManager::removeDevice(uintptr_t object)
{
    for (auto it = devices_.begin(); it != devices_.end(); ++it) {
        if (it->second.object == object) {
            std::wstring name = it->first;
            devices_.erase(it);
            hostHeap_.erase(object);
            return name;
        }
    }
    return std::nullopt;
}

namespace {

// The first `components` components of a path, and the rest from its
// backslash on.
std::pair<std::wstring, std::wstring> SplitAfter(const std::wstring& path, int components)
{
    size_t end = 0;
    for (int i = 0; i < components && end != std::wstring::npos; ++i)
        end = path.find(L'\\', end + 1);
    if (end == std::wstring::npos) return {path, L""};
    return {path.substr(0, end), path.substr(end)};
}

} // namespace

ResolvedName ObjectManager::resolve(const std::wstring& name) const
{
    std::wstring target = name;
    for (const wchar_t* prefix : {L"\\??\\", L"\\DosDevices\\"}) {
        const std::wstring p(prefix);
        if (target.starts_with(p)) {
            const auto [linkName, below] = SplitAfter(L"\\DosDevices\\" + target.substr(p.size()), 2);
            auto link = links_.find(linkName);
            if (link == links_.end()) return {};
            target = link->second + below;
            break;
        }
    }
    const auto [deviceName, below] = SplitAfter(target, 2);
    auto device = devices_.find(deviceName);
    if (device == devices_.end()) return {};
    return {device->second.object, device->second.characteristics, below};
}

Handle ObjectManager::openHandle(OpenHandle open)
{
    const Handle handle = nextHandle_;
    nextHandle_ += 4;
    handles_[handle] = std::move(open);
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
