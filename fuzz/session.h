// One input's kernel: the driver loaded on a simulated machine with its
// device open, as the fuzzers and the corpus replays begin every input.
// The same inputs and checks on the host build of the driver and on zerlo.sys
// on the emulated i386 (session.cpp), from a restored kernel snapshot
// (kernel/kernel.h) rather than a new machine and kernel per input.
#pragma once

#include "firmware_image.h"

#include "frame/zerlo_ioctl.h"
#include "kernel/kernel.h"
#include "kernel/kernel_probe.h"

#include <cstdio>
#include <cstdlib>

namespace zfuzz {

enum class Board { kNotebook, kBare };

[[noreturn]] inline void Fail(const char* fuzzer, const char* what, uint32_t code = 0)
{
    std::fprintf(stderr, "%s fuzzer: %s (code 0x%08x)\n", fuzzer, what, code);
    std::abort();
}

class Session {
  public:
    // The kernel on `board`, its physical memory holding `firmware` beside
    // the board's own, MmMapIoSpace call `failingMapCall` (1-based since
    // boot, 0 for none) failing, the driver loaded and `handle` open.
    zhost::Kernel& begin(Board board, const std::vector<Region>& firmware, uint8_t failingMapCall);
    // Closes the handle and unloads: nothing may stay behind.
    void end()
    {
        zhost::Kernel& kernel = *kernel_;
        kernel.close(handle);
        kernel.unload();
        if (!kernel.probe().liveMappings().empty()) Fail("session", "mappings left after unload");
        if (!kernel.probe().deviceNames().empty() || !kernel.probe().linkNames().empty())
            Fail("session", "device or link left");
    }
    zhost::Handle handle = 0;

  private:
    zhost::Kernel* kernel_ = nullptr;
};

inline Session& TheSession()
{
    static Session session;
    return session;
}

// Writes regions into physical memory; a region running past 4 GiB keeps
// what fits.
inline void WriteRegions(zhost::Machine& machine, const std::vector<Region>& regions)
{
    for (const Region& region : regions) {
        const uint64_t room = (uint64_t{1} << 32) - region.address;
        const size_t length = std::min<uint64_t>(region.bytes.size(), room);
        machine.memory()->write(region.address, std::span<const uint8_t>(region.bytes.data(), length));
    }
}

// Every this many inputs a session checks that its restore put back the
// whole snapshot, so a long run cannot drift from where it began.
constexpr uint64_t kRestoreCheckEvery = 1024;

} // namespace zfuzz
