#include "guest_memory.h"

#include "../bug_check.h"
#include "emulated_image.h"

#include <cstdio>

namespace zhost::i386 {

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

bool Inside(uint32_t address, uint32_t length, uint64_t start, uint64_t size)
{
    return address >= start && uint64_t{address} + length <= start + size;
}

// --- memory and registers, for the stubs ---

uint32_t EmulatedImage::arg(int n)
{
    return read32(reg(Reg::Esp) + 4 + 4 * static_cast<uint32_t>(n));
}

bool EmulatedImage::insideImageCode(uint32_t address) const
{
    for (const PeSection& section : image_.sections) {
        if (section.executable && address >= image_.base + section.rva &&
            address < image_.base + section.rva + section.size) {
            return true;
        }
    }
    return false;
}

bool EmulatedImage::readableByDriver(uint32_t address, uint32_t length) const
{
    if (Inside(address, length, image_.base, image_.memory.size()) ||
        Inside(address, length, kStackTop - kStackSize, kStackSize) ||
        Inside(address, length, kObjectArea, kObjectAreaSize)) {
        return true;
    }
    auto mapping = mappings_.upper_bound(address);
    if (mapping != mappings_.begin() &&
        Inside(address, length, std::prev(mapping)->first, std::prev(mapping)->second.length)) {
        return true;
    }
    return request_ != nullptr &&
           Inside(address, length, reinterpret_cast<uintptr_t>(request_->system.buffer), request_->system.size);
}

bool EmulatedImage::writableByDriver(uint32_t address, uint32_t length) const
{
    for (const PeSection& section : image_.sections) {
        if (section.writable && Inside(address, length, image_.base + section.rva, section.size)) return true;
    }
    return Inside(address, length, kStackTop - kStackSize, kStackSize) ||
           Inside(address, length, kObjectArea, kObjectAreaSize) ||
           (request_ != nullptr &&
            Inside(address, length, reinterpret_cast<uintptr_t>(request_->system.buffer), request_->system.size));
}

uint8_t EmulatedImage::readByte(uint32_t address)
{
    if (!readableByDriver(address, 1)) stop("a service read " + Hex(address) + " for the driver, outside its memory");
    uint8_t value = 0;
    cpu_.read(address, &value, 1);
    return value;
}

uint16_t EmulatedImage::read16(uint32_t address)
{
    return static_cast<uint16_t>(readByte(address) | readByte(address + 1) << 8);
}

uint32_t EmulatedImage::read32(uint32_t address)
{
    return uint32_t{read16(address)} | uint32_t{read16(address + 2)} << 16;
}

void EmulatedImage::write(uint32_t address, const void* bytes, uint32_t length)
{
    if (!writableByDriver(address, length)) {
        stop("a service wrote " + std::to_string(length) + " bytes at " + Hex(address) +
             " for the driver, outside "
             "its writable memory");
    }
    cpu_.write(address, bytes, length);
}

void EmulatedImage::write16(uint32_t address, uint16_t value)
{
    const uint8_t bytes[] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
    write(address, bytes, 2);
}

void EmulatedImage::write32(uint32_t address, uint32_t value)
{
    write16(address, static_cast<uint16_t>(value));
    write16(address + 2, static_cast<uint16_t>(value >> 16));
}

std::wstring EmulatedImage::unicodeString(uint32_t address)
{
    using namespace nt32;
    UnicodeStringFields fields;
    uint32_t buffer = 0;
    if (address != 0) {
        buffer = read32(address + UnicodeString::Buffer);
        fields = {true, read16(address + UnicodeString::Length), read16(address + UnicodeString::MaximumLength),
                  buffer != 0};
    }
    services_.checkUnicodeString(fields);
    std::wstring text;
    for (uint32_t i = 0; i < fields.length; i += 2)
        text += static_cast<wchar_t>(read16(buffer + i));
    return text;
}

uint32_t EmulatedImage::allocateObject(uint32_t size)
{
    const uint32_t address = kObjectArea + objectsUsed_;
    objectsUsed_ += (size + 7) & ~7u;
    if (objectsUsed_ > kObjectAreaSize) stop("the emulated kernel's object area is exhausted");
    return address;
}

void EmulatedImage::stop(const std::string& what)
{
    BugCheck("%s", what.c_str());
}

} // namespace zhost::i386
