// The booted kernel's managers, shared by both kinds of driver image.
#pragma once

#include "../machine/machine.h"
#include "driver_image.h"
#include "fault_injection.h"
#include "journal.h"
#include "memory_manager.h"
#include "object_manager.h"

#include <memory>
#include <mutex>
#include <set>

namespace zhost {

struct KernelState {
    explicit KernelState(Machine& machine) : memory(machine) {}
    // One lock over the managers; dispatch routines run outside it.
    mutable std::mutex mutex;
    ObjectManager objects;
    MemoryManager memory;
    FaultInjection faults;
    Journal journal;
    Caller caller = Caller::Administrator;
};

// What the kernel keeps of each thread that calls into the driver: the
// request whose dispatch routine runs on it, and the fast mutexes it holds.
// Only the thread itself reads or writes its own, so no lock guards it, and
// it is empty between calls into the driver, so no snapshot needs it.
struct ThreadState {
    Request* dispatching = nullptr;
    std::set<uintptr_t> heldMutexes;
};

inline ThreadState& ThisThread()
{
    thread_local ThreadState state;
    return state;
}

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
