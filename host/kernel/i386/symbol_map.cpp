#include "symbol_map.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace zhost::i386 {

void SymbolMap::read(const std::string& mapPath, uint32_t linkedBase, uint32_t loadedBase)
{
    base_ = loadedBase;
    std::ifstream map(mapPath);
    std::string line;
    bool inText = false;
    while (std::getline(map, line)) {
        // GNU ld lists each output section's symbols after its header line.
        if (!line.empty() && line[0] == '.') inText = line.starts_with(".text");
        if (!inText) continue;
        std::istringstream fields(line);
        std::string address;
        std::string name;
        std::string rest;
        if (!(fields >> address >> name) || (fields >> rest) || !address.starts_with("0x")) continue;
        if (name.starts_with("0x") || name.find('=') != std::string::npos) continue;
        const unsigned long value = std::stoul(address, nullptr, 16);
        if (value < linkedBase) continue;
        // C functions carry the i386 leading underscore; stdcall ones an @N too.
        if (name.starts_with("_")) name.erase(0, 1);
        if (const auto at = name.find('@'); at != std::string::npos) name.erase(at);
        symbols_[static_cast<uint32_t>(value - linkedBase + loadedBase)] = name;
    }
}

std::string SymbolMap::describe(uint32_t address) const
{
    char text[160];
    auto it = symbols_.upper_bound(address);
    if (it == symbols_.begin() || address < base_) {
        std::snprintf(text, sizeof text, "0x%08x", address);
    } else {
        --it;
        std::snprintf(text, sizeof text, "0x%08x (%s+0x%x)", address, it->second.c_str(), address - it->first);
    }
    return text;
}

} // namespace zhost::i386
