// A kernel's snapshot: what a fuzzer restores between inputs instead of
// building the machine, booting the kernel and loading the driver again.
#include "bug_check.h"
#include "kernel.h"
#include "kernel_probe.h"
#include "kernel_state.h"

#include <tuple>

namespace zhost {

std::shared_ptr<const DriverImage::State> DriverImage::saveState() const
{
    BugCheck("this driver image cannot be put in a kernel snapshot");
}

void DriverImage::restoreState(const State&)
{
    BugCheck("this driver image cannot be restored from a kernel snapshot");
}

bool KernelSnapshot::operator==(const KernelSnapshot& other) const
{
    if ((imageState == nullptr) != (other.imageState == nullptr)) return false;
    if (imageState != nullptr && !(*imageState == *other.imageState)) return false;
    return std::tie(machine, objects, memory, faults, journal, image, started, emulated) ==
           std::tie(other.machine, other.objects, other.memory, other.faults, other.journal, other.image, other.started,
                    other.emulated);
}

std::shared_ptr<const KernelSnapshot> KernelProbe::snapshot() const
{
    std::lock_guard lock(kernel_.impl_->mutex);
    auto snapshot = std::make_shared<KernelSnapshot>();
    snapshot->machine = kernel_.machine_.state();
    snapshot->objects = kernel_.impl_->objects;
    snapshot->memory = kernel_.impl_->memory.state();
    snapshot->faults = kernel_.impl_->faults;
    snapshot->journal = kernel_.impl_->journal;
    snapshot->image = kernel_.image_;
    if (kernel_.image_ != nullptr) snapshot->imageState = kernel_.image_->saveState();
    snapshot->started = kernel_.started_;
    snapshot->emulated = kernel_.emulated_;
    return snapshot;
}

void KernelProbe::restore(const KernelSnapshot& snapshot)
{
    std::lock_guard lock(kernel_.impl_->mutex);
    kernel_.machine_.restore(snapshot.machine);
    kernel_.impl_->objects = snapshot.objects;
    kernel_.impl_->memory.restore(snapshot.memory);
    kernel_.impl_->faults = snapshot.faults;
    kernel_.impl_->journal = snapshot.journal;
    kernel_.image_ = snapshot.image;
    if (kernel_.image_ != nullptr) kernel_.image_->restoreState(*snapshot.imageState);
    kernel_.started_ = snapshot.started;
    kernel_.emulated_ = snapshot.emulated;
}

bool KernelProbe::matches(const KernelSnapshot& snapshot) const
{
    return *this->snapshot() == snapshot;
}

void KernelProbe::rereadMappings()
{
    std::lock_guard lock(kernel_.impl_->mutex);
    kernel_.impl_->memory.reread();
}

} // namespace zhost
