// Changed copies of a driver image that the emulated kernel must refuse,
// each with the whole reason it must give: the emulator's tests load them,
// and the loader fuzzer starts from those small enough to be seeds.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace zfuzz {

struct ImageChange {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    std::string refusal;
    bool seed = true; // false: too large for a fuzzer's input
};

inline uint32_t PeOffset(const std::vector<uint8_t>& bytes)
{
    return bytes[0x3C] | bytes[0x3D] << 8;
}

inline uint32_t Read32(const std::vector<uint8_t>& bytes, size_t at)
{
    return bytes.at(at) | bytes.at(at + 1) << 8 | bytes.at(at + 2) << 16 | uint32_t{bytes.at(at + 3)} << 24;
}

inline void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
}

// Where the file keeps the parts of the image that the changes touch.
struct PeLayout {
    explicit PeLayout(const std::vector<uint8_t>& bytes)
        : optional(PeOffset(bytes) + 24), importRva(Read32(bytes, optional + 96 + 8)),
          relocationRva(Read32(bytes, optional + 96 + 40))
    {
        const size_t sections = optional + (bytes[PeOffset(bytes) + 20] | bytes[PeOffset(bytes) + 21] << 8);
        last = sections;
        for (size_t header = sections; header < sections + 40u * bytes[PeOffset(bytes) + 6]; header += 40) {
            const uint32_t rva = Read32(bytes, header + 12);
            const uint32_t rawOffset = Read32(bytes, header + 20);
            if (rawOffset >= Read32(bytes, last + 20)) last = header;
            if (importRva - rva < Read32(bytes, header + 16)) importDescriptor = rawOffset + importRva - rva;
            if (relocationRva - rva < Read32(bytes, header + 16)) firstBlock = rawOffset + relocationRva - rva;
        }
    }
    size_t optional;
    uint32_t importRva, relocationRva;
    size_t last = 0, importDescriptor = 0, firstBlock = 0; // file offsets of headers and tables
};

inline std::string Format(const char* format, uint32_t value)
{
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The changes of `real`, a loadable image (zerlo.sys).
inline std::vector<ImageChange> ImageChanges(const std::vector<uint8_t>& real)
{
    const PeLayout pe(real);
    return {
        {"x64_machine_type", [](auto& b) { b[PeOffset(b) + 4] = 0x64, b[PeOffset(b) + 5] = 0x86; },
         "machine type 0x8664 is not i386 (0x014c)"},
        {"win32_gui_subsystem", [](auto& b) { b[PeOffset(b) + 24 + 68] = 2; }, "subsystem 2 is not native (1)"},
        {"no_pe_signature", [](auto& b) { b[PeOffset(b)] = 'X'; },
         Format("malformed header: no PE signature at 0x%x", PeOffset(real))},
        {"cut_inside_the_headers", [](auto& b) { b.resize(0x400); }, "malformed header: SizeOfHeaders 0x1000"},
        {"an_export_the_emulator_lacks",
         [](auto& b) {
             const std::string name = "strncpy";
             auto at = std::search(b.begin(), b.end(), name.begin(), name.end());
             at[6] = 'X';
         },
         "imports ntoskrnl.exe!strncpX, which the emulated kernel does not provide"},
        {"more_sections_than_nt_loads", [](auto& b) { b[PeOffset(b) + 6] = 97; },
         "malformed header: 97 sections, more than NT's 96"},
        {"import_address_table_outside_the_image", [pe](auto& b) { Put32(b, pe.importDescriptor + 16, 0x7FFFFFF0); },
         "malformed header: import address table entry at RVA 0x7ffffff0 lies outside the image"},
        {"relocation_sizes_wrapping_at_4_gib",
         [pe](auto& b) {
             Put32(b, pe.optional + 96 + 44, 0u - pe.relocationRva + 8);
             Put32(b, pe.firstBlock + 4, 0u - pe.relocationRva);
         },
         Format("malformed header: relocation directory at RVA 0x%x lies outside the image", pe.relocationRva)},
        // 4 MiB more in the last section: one name of 255 bytes, then a
        // million lookup entries naming it for the first module.
        {"a_million_imports_of_one_long_name",
         [pe](auto& b) {
             const auto at = static_cast<uint32_t>((b.size() + 0x1FF) & ~size_t{0x1FF});
             const uint32_t rva = Read32(b, pe.last + 12);
             const uint32_t length = 0x400 + 4 * (1u << 20) + 4;
             b.resize(at + length, 0);
             std::fill_n(b.begin() + at + 2, 255, 'A');
             for (uint32_t i = 0; i < 1u << 20; ++i)
                 Put32(b, at + 0x400 + 4 * i, rva);
             Put32(b, pe.last + 8, length);
             Put32(b, pe.last + 16, length);
             Put32(b, pe.last + 20, at);
             Put32(b, pe.optional + 56, rva + ((length + 0xFFF) & ~0xFFFu));
             Put32(b, pe.importDescriptor, rva + 0x400);
         },
         "malformed header: more than 1024 imported names", false},
        {"a_file_larger_than_any_image", [](auto& b) { b.resize(32u << 20 | 1); },
         "a file of 33554433 bytes is larger than any driver image (32 MiB)", false},
    };
}

} // namespace zfuzz
