// Reads a fuzzer's bytes as a stream of choices; past the end every read
// gives zeros, so any input is a complete run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zfuzz {

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t dword() { return uint32_t{word()} | uint32_t{word()} << 16; }
    std::vector<uint8_t> bytes(size_t count)
    {
        std::vector<uint8_t> out(count, 0);
        for (size_t i = 0; i < count && at_ < size_; ++i)
            out[i] = data_[at_++];
        return out;
    }
    size_t remaining() const { return size_ - at_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

} // namespace zfuzz
