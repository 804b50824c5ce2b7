// Changed copies of a driver image that the emulated kernel must refuse,
// each with the reason it must give: the emulator's tests load them, and
// the loader fuzzer starts from them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zfuzz {

struct ImageChange {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    const char* refusal;
};

inline uint32_t PeOffset(const std::vector<uint8_t>& bytes)
{
    return bytes[0x3C] | bytes[0x3D] << 8;
}

inline const std::vector<ImageChange>& ImageChanges()
{
    static const std::vector<ImageChange> changes = {
        {"x64_machine_type", [](auto& b) { b[PeOffset(b) + 4] = 0x64, b[PeOffset(b) + 5] = 0x86; },
         "machine type 0x8664 is not i386"},
        {"win32_gui_subsystem", [](auto& b) { b[PeOffset(b) + 24 + 68] = 2; }, "subsystem 2 is not native"},
        {"no_pe_signature", [](auto& b) { b[PeOffset(b)] = 'X'; }, "malformed header: no PE signature"},
        {"cut_inside_the_headers", [](auto& b) { b.resize(0x400); }, "malformed header: SizeOfHeaders 0x1000"},
        {"an_export_the_emulator_lacks",
         [](auto& b) {
             const std::string name = "strncpy";
             auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
             at[6] = 'X';
         },
         "imports ntoskrnl.exe!strncpX, which the emulated kernel does not provide"},
    };
    return changes;
}

} // namespace zfuzz
