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

inline uint32_t Read32(const std::vector<uint8_t>& bytes, uint32_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

// The file offset of the first import descriptor, through the section
// that holds the import directory.
inline uint32_t FirstImportDescriptor(const std::vector<uint8_t>& b)
{
    const uint32_t optional = PeOffset(b) + 24;
    const uint32_t rva = Read32(b, optional + 96 + 8);
    const uint32_t sections = optional + (b[PeOffset(b) + 20] | b[PeOffset(b) + 21] << 8);
    for (uint32_t s = sections;; s += 40) {
        if (rva >= Read32(b, s + 12) && rva < Read32(b, s + 12) + Read32(b, s + 16))
            return rva - Read32(b, s + 12) + Read32(b, s + 20);
    }
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
        {"import_address_table_outside_the_image",
         [](auto& b) {
             const uint32_t slots = FirstImportDescriptor(b) + 16;
             b[slots] = 0xF0, b[slots + 1] = 0xFF, b[slots + 2] = 0xFF, b[slots + 3] = 0x00;
         },
         "malformed header: import address table at RVA 0xfffff0 lies outside the image"},
    };
    return changes;
}

} // namespace zfuzz
