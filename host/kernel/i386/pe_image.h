// A PE32 image for i386 as the NT loader lays it out: parsed and checked
// field by field against the file's size, mapped at its base (or relocated),
// with the imports it needs from the kernel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zhost::i386 {

struct PeSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0; // in memory
    bool executable = false;
    bool writable = false;
};

struct PeImport {
    std::string module; // lower case, as "ntoskrnl.exe"
    std::string name;
    uint32_t slotRva = 0; // the import address table entry the loader fills
};

struct PeImage {
    uint32_t base = 0;
    uint32_t entryRva = 0;
    uint32_t headerSize = 0;
    std::vector<uint8_t> memory; // SizeOfImage bytes, as mapped at `base`
    std::vector<PeSection> sections;
    std::vector<PeImport> imports;
    std::vector<uint32_t> fixups; // RVAs of 32-bit absolute addresses
};

// Larger files are refused unread: every image the loader takes is at most
// 16 MiB in memory, and the file's debugging sections follow it.
constexpr uint64_t kMaxPeFileSize = 32u << 20;

// False, with `error` naming the first fault, for anything but a well-formed
// PE32 image of the native subsystem for i386. Every offset, size and count
// read from the file is checked before use, so any file is refused in time
// and memory bounded by kMaxPeFileSize.
bool ParsePeImage(const std::vector<uint8_t>& file, PeImage* image, std::string* error);

// Moves the image to `base`, applying its base relocations.
void RelocatePeImage(PeImage& image, uint32_t base);

} // namespace zhost::i386
