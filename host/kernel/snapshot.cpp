// A kernel's snapshot: what a fuzzer restores between inputs instead of
// building the machine, booting the kernel and loading the driver again.
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

bool Kernel::Snapshot::operator==(const Snapshot& other) const
{
    if ((imageState == nullptr) != (other.imageState == nullptr)) return false;
    if (imageState != nullptr && !(*imageState == *other.imageState)) return false;
    return std::tie(machine, objects, memory, faults, journal, image, started, emulated) ==
           std::tie(other.machine, other.objects, other.memory, other.faults, other.journal, other.image, other.started,
                    other.emulated);
}

std::shared_ptr<const Kernel::Snapshot> Kernel::snapshot() const
{
    std::lock_guard lock(impl_->mutex);
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->machine = machine_.state();
    snapshot->objects = impl_->objects;
    snapshot->memory = impl_->memory.state();
    snapshot->faults = impl_->faults;
    snapshot->journal = impl_->journal;
    snapshot->image = image_;
    if (image_ != nullptr) snapshot->imageState = image_->saveState();
    snapshot->started = started_;
    snapshot->emulated = emulated_;
    return snapshot;
}

void Kernel::restore(const Snapshot& snapshot)
{
    std::lock_guard lock(impl_->mutex);
    machine_.restore(snapshot.machine);
    impl_->objects = snapshot.objects;
    impl_->memory.restore(snapshot.memory);
    impl_->faults = snapshot.faults;
    impl_->journal = snapshot.journal;
    image_ = snapshot.image;
    if (image_ != nullptr) image_->restoreState(*snapshot.imageState);
    started_ = snapshot.started;
    emulated_ = snapshot.emulated;
}

bool Kernel::matches(const Snapshot& snapshot) const
{
    return *this->snapshot() == snapshot;
}

void Kernel::rereadMappings()
{
    std::lock_guard lock(impl_->mutex);
    impl_->memory.reread();
}

} // namespace zhost
