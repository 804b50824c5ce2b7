#include "acpi_dump.h"

#include "acpi_builder.h"
#include "dump_import.h"
#include "dump_reading.h"

#include <cctype>
#include <fstream>
#include <optional>

namespace zhost {

namespace {

using namespace dump;

bool IsHex(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// ---- acpidump text ------------------------------------------------------

// "SIG @ 0x..." (acpidump of ACPICA, "RSD  @ ..." for the RSDP) or
// "RSD PTR @ 0x..." and "SSDT @ (nil)" (the older Linux acpidump).
std::optional<AcpiDumpBlock> ParseHeader(const std::string& line, size_t number, const std::string& name)
{
    const auto at = line.find(" @ ");
    if (at == std::string::npos) return std::nullopt;
    std::string signature = line.substr(0, at);
    while (!signature.empty() && signature.back() == ' ')
        signature.pop_back();
    if (signature == "RSD PTR" || signature == "RSD") signature = "RSDP";
    if (signature.size() != 4 ||
        !std::all_of(signature.begin(), signature.end(), [](char c) { return c > ' ' && c < 0x7F; })) {
        Fail(name, LineRef(number), "\"" + signature + "\" is not a table signature");
    }
    std::string address = line.substr(at + 3);
    while (!address.empty() && address.back() == ' ')
        address.pop_back();
    AcpiDumpBlock block{signature, 0, {}, number};
    if (address == "(nil)") return block;
    const bool prefixed = address.size() > 2 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X');
    if (!prefixed || address.size() > 18 || !std::all_of(address.begin() + 2, address.end(), IsHex)) {
        Fail(name, LineRef(number), "\"" + address + "\" is not a hexadecimal address");
    }
    block.address = std::stoull(address.substr(2), nullptr, 16);
    return block;
}

// "    0010: 00 00 FF 1F 24 ...  ascii": the offset, then up to 16 bytes each
// behind one blank; two blanks (or the line's end) close the bytes.
void ParseHexLine(const std::string& line, size_t number, const std::string& name, AcpiDumpBlock& block)
{
    size_t pos = line.find_first_not_of(' ');
    const size_t colon = line.find(':', pos);
    if (colon == std::string::npos || colon == pos || colon - pos > 8 ||
        !std::all_of(line.begin() + static_cast<ptrdiff_t>(pos), line.begin() + static_cast<ptrdiff_t>(colon), IsHex)) {
        Fail(name, LineRef(number), "neither a table header nor a hex line");
    }
    const uint64_t offset = std::stoull(line.substr(pos, colon - pos), nullptr, 16);
    if (offset != block.bytes.size()) {
        Fail(name, LineRef(number),
             "offset " + Hex(offset) + " in " + block.signature + " (line " + std::to_string(block.line) +
                 "), expected " + Hex(block.bytes.size()) + ": lines are missing or out of order");
    }
    pos = colon + 1;
    size_t count = 0;
    while (count < 16 && pos + 2 < line.size() && line[pos] == ' ' && IsHex(line[pos + 1]) && IsHex(line[pos + 2]) &&
           (pos + 3 == line.size() || line[pos + 3] == ' ')) {
        block.bytes.push_back(static_cast<uint8_t>(std::stoul(line.substr(pos + 1, 2), nullptr, 16)));
        pos += 3;
        ++count;
    }
    const bool closed = pos == line.size() || line.compare(pos, 2, "  ") == 0;
    if (count == 0 || !closed) Fail(name, LineRef(number), "malformed hex bytes");
}

// The bytes the block must hold: a table's Length, an RSDP's 20 bytes
// (revision 0) or its Length field (revision 2 on).
uint64_t RequiredLength(const AcpiDumpBlock& block)
{
    const auto& b = block.bytes;
    if (block.signature == "RSDP") {
        if (b.size() < 20) return 20;
        if (b[15] < 2) return 20;
        return b.size() < 24 ? 36 : Get32(b, 20);
    }
    return b.size() < 8 ? 36 : Get32(b, 4);
}

void CheckComplete(const AcpiDumpBlock& block, const std::string& name)
{
    if (block.bytes.empty()) Fail(name, LineRef(block.line), block.signature + " block without hex lines");
    const uint64_t required = RequiredLength(block);
    if (block.bytes.size() < required) {
        Fail(name, LineRef(block.line),
             block.signature + " block holds " + std::to_string(block.bytes.size()) + " bytes, its length says " +
                 std::to_string(required) + ": truncated");
    }
}

} // namespace

using namespace dump;

std::vector<AcpiDumpBlock> ParseAcpiDump(std::istream& in, const std::string& name)
{
    std::vector<AcpiDumpBlock> blocks;
    bool open = false; // a block takes hex lines until a blank line
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) {
            open = false;
            continue;
        }
        if (line[0] != ' ') {
            auto header = ParseHeader(line, number, name);
            if (!header) Fail(name, LineRef(number), "neither a table header nor a hex line");
            if (!blocks.empty()) CheckComplete(blocks.back(), name);
            blocks.push_back(std::move(*header));
            open = true;
            continue;
        }
        if (!open) Fail(name, LineRef(number), "hex line outside a table block");
        ParseHexLine(line, number, name, blocks.back());
    }
    if (blocks.empty()) Fail(name, "line 1", "no table block (\"SIG @ 0x...\" header) in the file");
    CheckComplete(blocks.back(), name);
    return blocks;
}

void PlaceAcpiDump(Machine& machine, const std::vector<AcpiDumpBlock>& blocks, const std::string& name)
{
    std::vector<const AcpiDumpBlock*> placed;
    for (const AcpiDumpBlock& block : blocks) {
        if (block.address == 0 || block.address + block.bytes.size() > (uint64_t{1} << 32)) continue;
        for (const AcpiDumpBlock* other : placed) {
            const uint64_t from = std::max(block.address, other->address);
            const uint64_t to = std::min(block.address + block.bytes.size(), other->address + other->bytes.size());
            for (uint64_t at = from; at < to; ++at) {
                if (block.bytes[at - block.address] != other->bytes[at - other->address]) {
                    Fail(name, LineRef(block.line),
                         block.signature + " at " + Hex(block.address) + " overlaps " + other->signature + " at " +
                             Hex(other->address) + " (line " + std::to_string(other->line) + ") and differs at " +
                             Hex(at));
                }
            }
        }
        placed.push_back(&block);
    }
    for (const AcpiDumpBlock* block : placed) {
        machine.memory()->write(static_cast<uint32_t>(block->address), block->bytes);
    }
    for (const AcpiDumpBlock* block : placed) {
        if (block->signature != "RSDP" || block->address < 0x400 || block->address >= 0xA0000) continue;
        uint8_t word[2];
        machine.memory()->read(kEbdaPointerAddress, word);
        const uint32_t area = (uint32_t{word[0]} | uint32_t{word[1]} << 8) * 16;
        const bool covered =
            area >= 0x400 && area < 0xA0000 && block->address >= area && block->address + 16 <= area + 1024;
        if (!covered) {
            const uint32_t segment = static_cast<uint32_t>(block->address & ~uint64_t{0x3FF}) >> 4;
            const uint8_t bytes[2] = {static_cast<uint8_t>(segment), static_cast<uint8_t>(segment >> 8)};
            machine.memory()->write(kEbdaPointerAddress, bytes);
        }
        break;
    }
}

void ImportAcpiDump(Machine& machine, const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw DumpError(path + ": cannot open");
    PlaceAcpiDump(machine, ParseAcpiDump(in, path), path);
}

} // namespace zhost
