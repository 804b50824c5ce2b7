// One machine and one booted kernel for a whole run, whichever driver it
// loads (ZERLO_DRIVER, or the build's own). Neither is built again per
// input: each input restores a kernel snapshot.
//  - The host build: per board a snapshot taken before any load; each input
//    loads the driver, whose image the kernel keeps mapped and resets to its
//    first load's bytes (ZHOST_KEEP_DRIVER_IMAGE).
//  - zerlo.sys: per board a snapshot taken once the emulated image is loaded
//    and its device open; firmware bytes are written after the restore and
//    the mappings made at load read again. The image's basic blocks, as
//    edges, feed libFuzzer's extra counters, so that coverage of the
//    emulated code guides the fuzzer.
#include "session.h"

#include "kernel/i386/emulated_image.h"
#include "profile/profile.h"
#include "session/driver_session.h"

#include <fstream>
#include <map>

namespace zfuzz {

namespace {

constexpr uint32_t kEdges = 1 << 14;
__attribute__((section("__libfuzzer_extra_counters"), used)) uint8_t gEdges[kEdges];
uint32_t gPrevious = 0;
// With ZFUZZ_BLOCKS naming a file, every block the image executed, as
// "address size" lines at exit: what a replay of the corpora reaches.
std::map<uint32_t, uint32_t>* gBlocks = nullptr;

void WriteBlocks()
{
    std::ofstream out(std::getenv("ZFUZZ_BLOCKS"));
    for (const auto& [address, size] : *gBlocks)
        out << std::hex << "0x" << address << ' ' << std::dec << size << '\n';
}

void Block(uint32_t address, uint32_t size, void*)
{
    if (gBlocks != nullptr) (*gBlocks)[static_cast<uint32_t>(address)] = size;
    const uint32_t here = static_cast<uint32_t>(address) * 2654435761u >> 8;
    uint8_t& counter = gEdges[(here ^ gPrevious) % kEdges];
    if (counter < 255) ++counter;
    gPrevious = here >> 1;
}

std::string DriverPath()
{
#ifdef ZFUZZ_SYS_IMAGE
    if (std::getenv("ZERLO_DRIVER") == nullptr) return ZFUZZ_SYS_IMAGE;
#endif
    return zhost::DefaultDriverPath();
}

bool IsPeFile(const std::string& path)
{
    char magic[2] = {};
    return std::ifstream(path, std::ios::binary).read(magic, 2) && magic[0] == 'M' && magic[1] == 'Z';
}

struct FuzzedKernel {
    const std::string path = DriverPath();
    const bool emulated = IsPeFile(path);
    zhost::DriverSession driver;
    zhost::Kernel& kernel = *driver.kernel;
    const zhost::Machine::State boards[2] = {driver.machine->state(),
                                             zhost::BuildMachine(zhost::BareProfile())->state()};
    struct Start {
        std::shared_ptr<const zhost::KernelSnapshot> snapshot;
        zhost::Handle handle = 0;
    };
    const std::shared_ptr<const zhost::KernelSnapshot> unloaded = kernel.probe().snapshot();
    std::map<std::pair<Board, bool>, Start> starts; // by board and whether the first mapping failed
    uint64_t inputs = 0;

    // The first input on a board takes its snapshot: zerlo.sys is loaded
    // first, with the BIOS window's mapping (the first) failed if asked.
    const Start& at(Board board, bool windowFails)
    {
        Start& start = starts[{board, emulated && windowFails}];
        if (start.snapshot != nullptr) return start;
        kernel.probe().restore(*unloaded);
        driver.machine->restore(boards[static_cast<int>(board)]);
        if (emulated) {
            if (windowFails) kernel.probe().failMapCall(1);
            if (driver.start(path) != STATUS_SUCCESS) Fail("session", "zerlo.sys did not start");
            auto* image = dynamic_cast<zhost::i386::EmulatedImage*>(kernel.probe().image());
            if (image == nullptr) Fail("session", "the driver is not a PE image");
            image->hookBlocks(Block, nullptr);
            if (std::getenv("ZFUZZ_BLOCKS") != nullptr && gBlocks == nullptr) {
                gBlocks = new std::map<uint32_t, uint32_t>;
                std::atexit(WriteBlocks);
            }
            if (driver.openAnother(zhost::kAccessRead | zhost::kAccessWrite, &start.handle) != STATUS_SUCCESS)
                Fail("session", "cannot open the device");
        }
        start.snapshot = kernel.probe().snapshot();
        return start;
    }
};

} // namespace

zhost::Kernel& Session::begin(Board board, const std::vector<Region>& firmware, uint8_t failingMapCall)
{
    static auto* const fuzzed = new FuzzedKernel;
    const FuzzedKernel::Start& start = fuzzed->at(board, failingMapCall == 1);
    zhost::Kernel& kernel = fuzzed->kernel;
    kernel.probe().restore(*start.snapshot);
    if (++fuzzed->inputs % kRestoreCheckEvery == 1 && !kernel.probe().matches(*start.snapshot)) {
        Fail("session", "the restored kernel differs from its snapshot");
    }
    WriteRegions(*fuzzed->driver.machine, firmware);
    kernel_ = &kernel;
    if (fuzzed->emulated) {
        if (!firmware.empty()) kernel.probe().rereadMappings();
        if (failingMapCall > 1) kernel.probe().failMapCall(failingMapCall);
        gPrevious = 0;
        handle = start.handle;
        return kernel;
    }
    if (failingMapCall != 0) kernel.probe().failMapCall(failingMapCall);
    if (fuzzed->driver.start(fuzzed->path) != STATUS_SUCCESS) Fail("session", "driver did not start");
    if (fuzzed->driver.openAnother(zhost::kAccessRead | zhost::kAccessWrite, &handle) != STATUS_SUCCESS)
        Fail("session", "cannot open the device");
    return kernel;
}

} // namespace zfuzz
