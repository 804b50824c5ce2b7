// The host build's session: one machine and one booted kernel for the whole
// run. Each input restores the kernel's snapshot of its board taken before
// any load, then loads the driver, whose image the kernel keeps mapped and
// resets to its first load's bytes (ZHOST_KEEP_DRIVER_IMAGE).
#include "session.h"

#include "machine/profile.h"

namespace zfuzz {

namespace {

struct HostKernel {
    std::unique_ptr<zhost::Machine> machine = zhost::BuildMachine(zhost::DefaultNotebookProfile());
    zhost::Kernel kernel{*machine};
    std::shared_ptr<const zhost::Kernel::Snapshot> boards[2];
    uint64_t inputs = 0;

    HostKernel()
    {
        const zhost::Machine::State states[] = {machine->state(), zhost::BuildMachine(zhost::BareProfile())->state()};
        for (int i = 0; i < 2; ++i) {
            machine->restore(states[i]);
            boards[i] = kernel.snapshot();
        }
    }
};

} // namespace

zhost::Kernel& Session::begin(Board board, const std::vector<Region>& firmware, uint8_t failingMapCall)
{
    static auto* const host = new HostKernel;
    const zhost::Kernel::Snapshot& snapshot = *host->boards[static_cast<int>(board)];
    zhost::Kernel& kernel = host->kernel;
    kernel.restore(snapshot);
    if (++host->inputs % kRestoreCheckEvery == 1 && !kernel.matches(snapshot)) {
        Fail("session", "the restored kernel differs from its snapshot");
    }
    WriteRegions(*host->machine, firmware);
    if (failingMapCall != 0) kernel.failMapCall(failingMapCall);
    if (kernel.load() != STATUS_SUCCESS) Fail("session", "driver did not start");
    if (kernel.open(ZERLO_LINK_NAME, zhost::kAccessRead | zhost::kAccessWrite, &handle) != STATUS_SUCCESS) {
        Fail("session", "cannot open the device");
    }
    kernel_ = &kernel;
    return kernel;
}

} // namespace zfuzz
