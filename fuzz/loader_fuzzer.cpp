// A file as the emulated kernel's loader meets it, with nothing of it run:
// parsed; when accepted, held to what the parser promises the loader (every
// section, fixup and import slot inside the image), moved to another base
// when it carries relocations, and mapped on a new emulated i386 with its
// imports bound to the kernel's stubs. A refusal must say why.
#include "session.h"

#include "kernel/i386/emulated_image.h"
#include "profile/profile.h"

namespace {

using namespace zhost::i386;

[[noreturn]] void Fail(const char* what)
{
    zfuzz::Fail("loader", what);
}

bool Inside(uint64_t rva, uint64_t length, const PeImage& image)
{
    return rva + length <= image.memory.size();
}

void CheckPromises(const PeImage& image)
{
    if (image.memory.empty() || image.entryRva >= image.memory.size()) Fail("entry point outside the image");
    for (const PeSection& section : image.sections) {
        if (!Inside(section.rva, section.size, image)) Fail("a section outside the image");
    }
    for (uint32_t rva : image.fixups) {
        if (!Inside(rva, 4, image)) Fail("a fixup outside the image");
    }
    for (const PeImport& import : image.imports) {
        if (!Inside(import.slotRva, 4, image)) Fail("an import slot outside the image");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static auto* const machine = zhost::BuildMachine(zhost::BareProfile()).release();
    static auto* const kernel = new zhost::Kernel(*machine);

    PeImage image;
    std::string error;
    if (!ParsePeImage(std::vector<uint8_t>(data, data + size), &image, &error)) {
        if (error.empty()) Fail("an image refused without a reason");
        return 0;
    }
    CheckPromises(image);
    if (!image.fixups.empty()) RelocatePeImage(image, image.base == kLowestImageBase ? 0x400000 : kLowestImageBase);
    const uint32_t base = image.base;
    const std::vector<PeImport> imports = image.imports;
    EmulatedImage emulated(*kernel, std::move(image), "");
    if (!emulated.boot(&error)) {
        if (error.empty()) Fail("an image refused without a reason");
        return 0;
    }
    for (const PeImport& import : imports) {
        const uint32_t stub = emulated.read32(base + import.slotRva);
        if (stub < kStubPage || stub >= kReturnToKernel) Fail("an import slot not bound to a stub");
    }
    return 0;
}
