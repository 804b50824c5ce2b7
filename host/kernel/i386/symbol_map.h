// Function names for addresses of zerlo.sys, from the linker's map file that
// the target build writes beside it, so that a stop names the function.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zhost::i386 {

class SymbolMap {
  public:
    // An absent or unreadable map gives addresses as image offsets.
    void read(const std::string& mapPath, uint32_t linkedBase, uint32_t loadedBase);
    // "SmmCall+0x1c", or "zerlo.sys+0x1234" where no symbol is known.
    std::string describe(uint32_t address) const;

  private:
    std::map<uint32_t, std::string> symbols_;
    uint32_t base_ = 0;
};

} // namespace zhost::i386
