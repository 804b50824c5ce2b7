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

} // namespace zhost
