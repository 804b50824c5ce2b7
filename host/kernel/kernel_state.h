// The booted kernel's managers, shared by both kinds of driver image.
#pragma once

#include "driver_image.h"
#include "fault_injection.h"
#include "journal.h"
#include "kernel.h"
#include "memory_manager.h"
#include "object_manager.h"

#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace zhost {

struct Kernel::Impl {
    explicit Impl(Machine& machine) : memory(machine) {}
    // One lock over the managers; dispatch routines run outside it.
    mutable std::mutex mutex;
    ObjectManager objects;
    MemoryManager memory;
    FaultInjection faults;
    Journal journal;
    Caller caller = Caller::Administrator;
    // Per thread: the request whose dispatch routine runs on it, and the
    // fast mutexes it holds. Both are empty between calls into the driver,
    // so a snapshot has nothing of them.
    std::map<std::thread::id, Request*> dispatching;
    std::map<std::thread::id, std::set<uintptr_t>> heldMutexes;
};

struct KernelSnapshot {
    Machine::State machine;
    ObjectManager objects;
    MemoryManager::State memory;
    FaultInjection faults;
    Journal journal;
    std::shared_ptr<DriverImage> image; // kept alive by the snapshot, whatever unloads it
    std::shared_ptr<const DriverImage::State> imageState;
    bool started = false;
    bool emulated = false;
    bool operator==(const KernelSnapshot& other) const;
};

} // namespace zhost
