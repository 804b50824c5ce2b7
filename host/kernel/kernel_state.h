// The booted kernel's managers, shared by both kinds of driver image.
#pragma once

#include "driver_image.h"
#include "fault_injection.h"
#include "journal.h"
#include "kernel.h"
#include "memory_manager.h"
#include "object_manager.h"

#include <mutex>

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
};

struct Kernel::Snapshot {
    Machine::State machine;
    ObjectManager objects;
    MemoryManager::State memory;
    FaultInjection faults;
    Journal journal;
    std::shared_ptr<DriverImage> image; // kept alive by the snapshot, whatever unloads it
    std::shared_ptr<const DriverImage::State> imageState;
    bool started = false;
    bool emulated = false;
    bool operator==(const Snapshot& other) const;
};

} // namespace zhost
