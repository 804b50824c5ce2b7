// zerlo.sys's session: one machine and one booted kernel for the whole run,
// and per board a snapshot taken once the emulated image is loaded and its
// device open. Each input restores one of them; firmware bytes are written
// after the restore, and the mappings the driver made at load read again.
// The image's own basic blocks, as edges, feed libFuzzer's extra counters,
// so that coverage of the emulated code guides the fuzzer.
#include "session.h"

#include "kernel/i386/emulated_image.h"
#include "machine/profile.h"

#include <map>

namespace zfuzz {

namespace {

constexpr uint32_t kEdges = 1 << 14;
__attribute__((section("__libfuzzer_extra_counters"), used)) uint8_t gEdges[kEdges];
uint32_t gPrevious = 0;

void Block(uc_engine*, uint64_t address, uint32_t, void*)
{
    const uint32_t here = static_cast<uint32_t>(address) * 2654435761u >> 8;
    uint8_t& counter = gEdges[(here ^ gPrevious) % kEdges];
    if (counter < 255) ++counter;
    gPrevious = here >> 1;
}

struct SysKernel {
    std::unique_ptr<zhost::Machine> machine = zhost::BuildMachine(zhost::DefaultNotebookProfile());
    zhost::Kernel kernel{*machine};
    const std::shared_ptr<const zhost::Kernel::Snapshot> unloaded = kernel.snapshot();
    const zhost::Machine::State boards[2] = {machine->state(), zhost::BuildMachine(zhost::BareProfile())->state()};
    struct Loaded {
        std::shared_ptr<const zhost::Kernel::Snapshot> snapshot;
        zhost::Handle handle = 0;
    };
    std::map<std::pair<Board, bool>, Loaded> loaded; // by board and whether the BIOS window's mapping failed
    uint64_t inputs = 0;

    // The first input that needs a board loads the driver on it.
    const Loaded& at(Board board, bool windowFails)
    {
        Loaded& slot = loaded[{board, windowFails}];
        if (slot.snapshot != nullptr) return slot;
        kernel.restore(*unloaded);
        machine->restore(boards[static_cast<int>(board)]);
        if (windowFails) kernel.failMapCall(1);
        const char* path = std::getenv("ZERLO_DRIVER");
        if (kernel.load(path != nullptr ? path : ZFUZZ_SYS_IMAGE) != STATUS_SUCCESS) Fail("session", "no zerlo.sys");
        auto* image = dynamic_cast<zhost::i386::EmulatedImage*>(kernel.image());
        if (image == nullptr) Fail("session", "the driver is not a PE image");
        image->hookBlocks(Block, nullptr);
        if (kernel.open(ZERLO_LINK_NAME, zhost::kAccessRead | zhost::kAccessWrite, &slot.handle) != STATUS_SUCCESS) {
            Fail("session", "cannot open the device");
        }
        slot.snapshot = kernel.snapshot();
        return slot;
    }
};

} // namespace

zhost::Kernel& Session::begin(Board board, const std::vector<Region>& firmware, uint8_t failingMapCall)
{
    static auto* const sys = new SysKernel;
    // The window is the first mapping: its failure belongs to the load.
    const SysKernel::Loaded& loaded = sys->at(board, failingMapCall == 1);
    zhost::Kernel& kernel = sys->kernel;
    kernel.restore(*loaded.snapshot);
    if (++sys->inputs % kRestoreCheckEvery == 1 && !kernel.matches(*loaded.snapshot)) {
        Fail("session", "the restored kernel differs from its snapshot");
    }
    if (!firmware.empty()) {
        WriteRegions(*sys->machine, firmware);
        kernel.rereadMappings();
    }
    if (failingMapCall > 1) kernel.failMapCall(failingMapCall);
    gPrevious = 0;
    handle = loaded.handle;
    kernel_ = &kernel;
    return kernel;
}

} // namespace zfuzz
