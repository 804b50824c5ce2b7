#include "pe_image.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace zhost::i386 {

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kPe32Magic = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint32_t kMaxImageSize = 16u << 20;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
constexpr int kImportDirectory = 1;
constexpr int kRelocationDirectory = 5;

// Reads of the file or of the mapped image, each bounded by what is there;
// the first failed read fails the whole parse.
class Reader {
  public:
    Reader(const std::vector<uint8_t>& bytes, std::string* error) : bytes_(bytes), error_(error) {}
    bool ok() const { return ok_; }
    uint32_t get(uint64_t offset, int size, const char* what)
    {
        if (!ok_) return 0;
        if (offset + static_cast<uint64_t>(size) > bytes_.size()) return fail(offset, what);
        uint32_t value = 0;
        for (int i = size - 1; i >= 0; --i)
            value = value << 8 | bytes_[offset + static_cast<uint64_t>(i)];
        return value;
    }
    std::string text(uint64_t offset, const char* what)
    {
        std::string result;
        for (uint64_t at = offset; ok_; ++at) {
            if (at >= bytes_.size() || result.size() > 255) {
                fail(offset, what);
                break;
            }
            if (bytes_[at] == 0) break;
            result += static_cast<char>(bytes_[at]);
        }
        return result;
    }
    uint32_t fail(uint64_t offset, const char* what)
    {
        if (ok_) {
            char text[160];
            std::snprintf(text, sizeof text, "malformed header: %s at 0x%llx lies outside the image", what,
                          static_cast<unsigned long long>(offset));
            *error_ = text;
        }
        ok_ = false;
        return 0;
    }

  private:
    const std::vector<uint8_t>& bytes_;
    std::string* error_;
    bool ok_ = true;
};

bool Refuse(std::string* error, const char* format, uint32_t value)
{
    char text[160];
    std::snprintf(text, sizeof text, format, value);
    *error = text;
    return false;
}

bool ReadImports(const PeImage& image, uint32_t directoryRva, std::vector<PeImport>* imports, std::string* error)
{
    Reader in(image.memory, error);
    for (uint32_t descriptor = directoryRva;; descriptor += 20) {
        const uint32_t lookup = in.get(descriptor, 4, "an import descriptor");
        const uint32_t nameRva = in.get(descriptor + 12, 4, "an import descriptor");
        const uint32_t slots = in.get(descriptor + 16, 4, "an import descriptor");
        if (!in.ok()) return false;
        if (nameRva == 0 && slots == 0) return true;
        std::string module = in.text(nameRva, "an imported module's name");
        std::transform(module.begin(), module.end(), module.begin(), [](char c) { return std::tolower(c); });
        const uint32_t names = lookup != 0 ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            const uint32_t entry = in.get(names + 4 * i, 4, "an import lookup entry");
            if (!in.ok()) return false;
            if (entry == 0) break;
            if (entry & 0x80000000u) {
                *error = "imports ordinal " + std::to_string(entry & 0xFFFF) + " of " + module +
                         ", which the emulated kernel does not provide";
                return false;
            }
            // The loader writes the stub's address there.
            if (uint64_t{slots} + 4 * uint64_t{i} + 4 > image.memory.size()) {
                return Refuse(error, "malformed header: import address table at RVA 0x%x lies outside the image",
                              slots);
            }
            imports->push_back({module, in.text(entry + 2, "an imported name"), slots + 4 * i});
        }
        if (!in.ok()) return false;
    }
}

bool ReadFixups(const PeImage& image, uint32_t directoryRva, uint32_t directorySize, std::vector<uint32_t>* fixups,
                std::string* error)
{
    Reader in(image.memory, error);
    for (uint32_t block = directoryRva; block + 8 <= uint64_t{directoryRva} + directorySize;) {
        const uint32_t page = in.get(block, 4, "a relocation block");
        const uint32_t size = in.get(block + 4, 4, "a relocation block");
        if (!in.ok()) return false;
        if (size < 8 || uint64_t{block} + size > uint64_t{directoryRva} + directorySize) {
            return Refuse(error, "malformed header: relocation block of %u bytes", size);
        }
        for (uint32_t at = block + 8; at + 2 <= block + size; at += 2) {
            const uint32_t entry = in.get(at, 2, "a relocation entry");
            const uint32_t type = entry >> 12;
            if (type == 0) continue; // padding
            if (type != 3) return Refuse(error, "relocation of type %u is not i386's", type);
            const uint32_t rva = page + (entry & 0xFFF);
            if (uint64_t{rva} + 4 > image.memory.size()) {
                return Refuse(error, "malformed header: relocation at RVA 0x%x lies outside the image", rva);
            }
            fixups->push_back(rva);
        }
        block += size;
    }
    return true;
}

} // namespace

bool ParsePeImage(const std::vector<uint8_t>& file, PeImage* image, std::string* error)
{
    Reader in(file, error);
    if (in.get(0, 2, "the DOS header") != 0x5A4D) {
        if (in.ok()) *error = "no MZ header";
        return false;
    }
    const uint32_t pe = in.get(0x3C, 4, "the DOS header");
    if (in.get(pe, 4, "the PE signature") != 0x00004550) {
        return in.ok() ? Refuse(error, "malformed header: no PE signature at 0x%x", pe) : false;
    }
    const uint32_t machine = in.get(pe + 4, 2, "the file header");
    if (in.ok() && machine != kMachineI386) return Refuse(error, "machine type 0x%04x is not i386 (0x014c)", machine);
    const uint32_t sectionCount = in.get(pe + 6, 2, "the file header");
    const uint32_t optionalSize = in.get(pe + 20, 2, "the file header");
    const uint32_t optional = pe + 24;
    const uint32_t magic = in.get(optional, 2, "the optional header");
    if (in.ok() && magic != kPe32Magic) return Refuse(error, "optional header magic 0x%x is not PE32's", magic);
    image->entryRva = in.get(optional + 16, 4, "the optional header");
    image->base = in.get(optional + 28, 4, "the optional header");
    const uint32_t imageSize = in.get(optional + 56, 4, "the optional header");
    image->headerSize = in.get(optional + 60, 4, "the optional header");
    const uint32_t subsystem = in.get(optional + 68, 2, "the optional header");
    const uint32_t directoryCount = in.get(optional + 92, 4, "the optional header");
    if (!in.ok()) return false;
    if (subsystem != kSubsystemNative) return Refuse(error, "subsystem %u is not native (1)", subsystem);
    if (imageSize == 0 || imageSize > kMaxImageSize)
        return Refuse(error, "malformed header: SizeOfImage 0x%x", imageSize);
    if (image->base % 0x10000 != 0) return Refuse(error, "malformed header: image base 0x%x", image->base);
    if (image->headerSize > imageSize || image->headerSize > file.size()) {
        return Refuse(error, "malformed header: SizeOfHeaders 0x%x", image->headerSize);
    }
    if (optionalSize < 96 || directoryCount > 16 || 96 + directoryCount * 8 > optionalSize) {
        return Refuse(error, "malformed header: optional header of %u bytes", optionalSize);
    }
    auto directory = [&](int index, uint32_t* size) {
        if (static_cast<uint32_t>(index) >= directoryCount) return *size = 0;
        *size = in.get(optional + 96 + 8 * index + 4, 4, "a data directory");
        return in.get(optional + 96 + 8 * index, 4, "a data directory");
    };

    image->memory.assign(imageSize, 0);
    std::copy_n(file.begin(), image->headerSize, image->memory.begin());
    const uint32_t sectionTable = optional + optionalSize;
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint32_t header = sectionTable + 40 * i;
        PeSection section;
        section.name = in.text(header, "a section header").substr(0, 8);
        const uint32_t virtualSize = in.get(header + 8, 4, "a section header");
        section.rva = in.get(header + 12, 4, "a section header");
        const uint32_t rawSize = in.get(header + 16, 4, "a section header");
        const uint32_t rawOffset = in.get(header + 20, 4, "a section header");
        const uint32_t flags = in.get(header + 36, 4, "a section header");
        if (!in.ok()) return false;
        section.size = std::max(virtualSize, rawSize);
        section.executable = flags & kScnExecute;
        section.writable = flags & kScnWrite;
        const uint32_t copied = std::min(rawSize, virtualSize == 0 ? rawSize : virtualSize);
        if (uint64_t{section.rva} + section.size > imageSize || uint64_t{rawOffset} + copied > file.size() ||
            section.rva < image->headerSize) {
            return Refuse(error, "malformed header: section %u lies outside the image or the file", i);
        }
        std::copy_n(file.begin() + rawOffset, copied, image->memory.begin() + section.rva);
        image->sections.push_back(section);
    }
    if (image->entryRva >= imageSize) return Refuse(error, "malformed header: entry point RVA 0x%x", image->entryRva);

    uint32_t importSize = 0;
    uint32_t relocationSize = 0;
    const uint32_t imports = directory(kImportDirectory, &importSize);
    const uint32_t relocations = directory(kRelocationDirectory, &relocationSize);
    if (!in.ok()) return false;
    if (imports != 0 && !ReadImports(*image, imports, &image->imports, error)) return false;
    return relocations == 0 || ReadFixups(*image, relocations, relocationSize, &image->fixups, error);
}

void RelocatePeImage(PeImage& image, uint32_t base)
{
    const uint32_t delta = base - image.base;
    for (uint32_t rva : image.fixups) {
        uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | image.memory[rva + static_cast<uint32_t>(i)];
        value += delta;
        for (int i = 0; i < 4; ++i)
            image.memory[rva + static_cast<uint32_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    }
    image.base = base;
}

} // namespace zhost::i386
