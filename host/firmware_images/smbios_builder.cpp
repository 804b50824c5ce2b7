#include "smbios_builder.h"

#include "machine/profile_values.h"
#include "smbios_layouts.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace zhost {

namespace {

using nlohmann::json;
using namespace smbios;

// Writes the little-endian value's bytes that fall inside the formatted
// area; a field cut by a short formatted length loses its tail.
void Put(std::vector<uint8_t>& formatted, size_t offset, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width && offset + i < formatted.size(); ++i) {
        formatted[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// "YYYY-MM-DD" in the Smart Battery Data (SBDS) packing, or the
// raw word.
uint16_t SbdsDate(const json& value, const std::string& where)
{
    if (value.is_string() && value.get<std::string>().size() == 10 && value.get<std::string>()[4] == '-') {
        const std::string text = value.get<std::string>();
        const int year = std::stoi(text.substr(0, 4));
        const int month = std::stoi(text.substr(5, 2));
        const int day = std::stoi(text.substr(8, 2));
        if (year < 1980 || year > 1980 + 127 || month < 1 || month > 12 || day < 1 || day > 31) {
            throw std::invalid_argument(where + ": date out of range");
        }
        return static_cast<uint16_t>((year - 1980) << 9 | month << 5 | day);
    }
    return static_cast<uint16_t>(ParseUnsigned(value, where, 16));
}

uint8_t StringField(const json& value, std::vector<std::string>& strings, const std::string& where)
{
    if (value.is_null()) return 0;
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        if (text.empty() || text.find('\0') != std::string::npos) {
            throw std::invalid_argument(where + ": a string must be non-empty and hold no NUL");
        }
        strings.push_back(text);
        return static_cast<uint8_t>(strings.size());
    }
    return static_cast<uint8_t>(ParseUnsigned(value, where, 8));
}

void PlaceField(const FieldLayout& field, const json& value, std::vector<uint8_t>& formatted,
                std::vector<std::string>& strings, const std::string& where)
{
    const std::string at = where + "." + field.name;
    switch (field.kind) {
    case Kind::kString: {
        // A string field past the formatted length is not there, and
        // neither is its string.
        if (field.offset >= formatted.size()) return;
        formatted[field.offset] = StringField(value, strings, at);
        return;
    }
    case Kind::kByte: Put(formatted, field.offset, ParseUnsigned(value, at, 8), 1); return;
    case Kind::kWord: Put(formatted, field.offset, ParseUnsigned(value, at, 16), 2); return;
    case Kind::kDword: Put(formatted, field.offset, ParseUnsigned(value, at, 32), 4); return;
    case Kind::kQword: Put(formatted, field.offset, ParseUnsigned(value, at, 64), 8); return;
    case Kind::kSbdsDate: Put(formatted, field.offset, SbdsDate(value, at), 2); return;
    case Kind::kUuid: {
        const std::vector<uint8_t> bytes = ParseHex(value.get<std::string>(), at);
        if (bytes.size() != 16) throw std::invalid_argument(at + ": 16 bytes expected");
        for (size_t i = 0; i < 16; ++i)
            Put(formatted, field.offset + i, bytes[i], 1);
        return;
    }
    }
}

void PlaceDevices(const json& devices, std::vector<uint8_t>& formatted, std::vector<std::string>& strings,
                  const std::string& where)
{
    size_t offset = 4;
    for (const json& device : devices) {
        RequireKnownKeys(device, where + ".devices[]", {"type", "enabled", "description"});
        const uint8_t type = static_cast<uint8_t>(ParseUnsigned(device.at("type"), where + ".devices[].type", 7));
        const bool enabled = device.value("enabled", true);
        Put(formatted, offset, type | (enabled ? 0x80 : 0), 1);
        if (offset + 1 < formatted.size()) {
            formatted[offset + 1] =
                StringField(device.value("description", json()), strings, where + ".devices[].description");
        }
        offset += 2;
    }
}

std::vector<uint8_t> StringSet(const std::vector<std::string>& strings)
{
    std::vector<uint8_t> bytes;
    for (const std::string& text : strings) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        bytes.push_back(0);
    }
    if (strings.empty()) bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

struct EntryPointLayout {
    uint32_t address;
    uint8_t length;
    uint8_t major, minor;
    uint16_t tableLength;
    uint32_t tableAddress;
    uint16_t count;
    uint16_t maxStructure;
    bool dmiAnchor;
};

std::vector<uint8_t> EntryPoint(const EntryPointLayout& layout)
{
    std::vector<uint8_t> ep(std::max<size_t>(0x1F, layout.length), 0);
    std::memcpy(ep.data(), "_SM_", 4);
    ep[0x05] = layout.length;
    ep[0x06] = layout.major;
    ep[0x07] = layout.minor;
    Put(ep, 0x08, layout.maxStructure, 2);
    if (layout.dmiAnchor) std::memcpy(ep.data() + 0x10, "_DMI_", 5);
    Put(ep, 0x16, layout.tableLength, 2);
    Put(ep, 0x18, layout.tableAddress, 4);
    Put(ep, 0x1C, layout.count, 2);
    ep[0x1E] = static_cast<uint8_t>((layout.major << 4) | (layout.minor & 0x0F));
    uint8_t sum = 0;
    for (size_t i = 0x10; i < 0x1F; ++i)
        sum = static_cast<uint8_t>(sum + ep[i]);
    ep[0x15] = static_cast<uint8_t>(-sum);
    if (layout.length > 4) {
        sum = 0;
        for (size_t i = 0; i < layout.length; ++i)
            sum = static_cast<uint8_t>(sum + ep[i]);
        ep[0x04] = static_cast<uint8_t>(-sum);
    }
    return ep;
}

// The 64-bit entry point of SMBIOS 3.0, which a 2.x reader does not know.
std::vector<uint8_t> EntryPoint3(const EntryPointLayout& layout)
{
    std::vector<uint8_t> ep(0x18, 0);
    std::memcpy(ep.data(), "_SM3_", 5);
    ep[0x06] = 0x18;
    ep[0x07] = 3;
    ep[0x0A] = 1;
    Put(ep, 0x0C, layout.tableLength, 4);
    Put(ep, 0x10, layout.tableAddress, 8);
    uint8_t sum = 0;
    for (uint8_t byte : ep)
        sum = static_cast<uint8_t>(sum + byte);
    ep[0x05] = static_cast<uint8_t>(-sum);
    return ep;
}

} // namespace

std::vector<uint8_t> BuildSmbiosStructure(const json& structure, const std::string& where)
{
    if (!structure.is_object() || !structure.contains("type")) {
        throw std::invalid_argument(where + ": a structure needs a type");
    }
    const uint8_t type = static_cast<uint8_t>(ParseUnsigned(structure.at("type"), where + ".type", 8));
    const TypeLayout* layout = FindType(type);

    std::set<std::string> known = {"type", "length", "handle", "extra_strings", "hex"};
    if (layout != nullptr) {
        for (const FieldLayout& field : layout->fields)
            known.insert(field.name);
    }
    if (type == 10) known.insert("devices");
    RequireKnownKeys(structure, where, known);

    std::vector<uint8_t> tail;
    if (structure.contains("hex")) tail = ParseHex(structure.at("hex").get<std::string>(), where + ".hex");
    size_t defaultLength = layout != nullptr ? layout->length : 4 + tail.size();
    if (type == 10 && structure.contains("devices")) defaultLength = 4 + 2 * structure.at("devices").size();
    const size_t length =
        structure.contains("length") ? ParseUnsigned(structure.at("length"), where + ".length", 8) : defaultLength;
    if (length < 4 && !structure.contains("length")) throw std::invalid_argument(where + ": too short");

    std::vector<uint8_t> formatted(std::max<size_t>(length, 4), 0);
    std::vector<std::string> strings;
    for (size_t i = 0; i < tail.size(); ++i)
        Put(formatted, 4 + i, tail[i], 1);
    if (layout != nullptr) {
        for (const FieldLayout& field : layout->fields) {
            if (structure.contains(field.name)) PlaceField(field, structure.at(field.name), formatted, strings, where);
        }
    }
    if (type == 10 && structure.contains("devices")) PlaceDevices(structure.at("devices"), formatted, strings, where);
    for (const json& extra : structure.value("extra_strings", json::array())) {
        StringField(extra, strings, where + ".extra_strings[]");
    }

    formatted[0] = type;
    formatted[1] = static_cast<uint8_t>(length);
    Put(formatted, 2, structure.contains("handle") ? ParseUnsigned(structure.at("handle"), where + ".handle", 16) : 0,
        2);
    // A stated length below the header still occupies the header's bytes.
    const std::vector<uint8_t> set = StringSet(strings);
    formatted.insert(formatted.end(), set.begin(), set.end());
    return formatted;
}

void ApplySmbios(Machine& machine, const json& section)
{
    RequireKnownKeys(section, "smbios",
                     {"entry_point_address", "entry_point_length", "version", "table_address", "structures",
                      "table_hex", "table_length", "structure_count", "quirks"});
    const json quirks = section.value("quirks", json::object());
    RequireKnownKeys(quirks, "smbios.quirks",
                     {"bad_checksum_decoy_at", "sm3_only", "no_dmi_anchor", "extra_announced", "cut_final_nul"});

    std::vector<uint8_t> table;
    uint16_t count = 0;
    uint16_t maxStructure = 0;
    if (section.contains("table_hex")) {
        if (section.contains("structures")) throw std::invalid_argument("smbios: structures or table_hex, not both");
        table = ParseHex(section.at("table_hex").get<std::string>(), "smbios.table_hex");
    } else {
        uint16_t handle = 0;
        for (const json& description : section.value("structures", json::array())) {
            json structure = description;
            if (structure.is_object() && !structure.contains("handle")) structure["handle"] = handle;
            const std::vector<uint8_t> bytes =
                BuildSmbiosStructure(structure, "smbios.structures[" + std::to_string(count) + "]");
            table.insert(table.end(), bytes.begin(), bytes.end());
            maxStructure = static_cast<uint16_t>(std::max<size_t>(maxStructure, bytes.size()));
            ++count;
            ++handle;
        }
    }
    if (quirks.value("cut_final_nul", false) && !table.empty()) table.pop_back();
    if (table.size() > 0xFFFF) throw std::invalid_argument("smbios: table longer than 65535 bytes");

    EntryPointLayout layout;
    layout.address = ParseAddress(section.value("entry_point_address", json("0xF0000")), "smbios.entry_point_address");
    layout.length = static_cast<uint8_t>(
        ParseUnsigned(section.value("entry_point_length", json(0x1F)), "smbios.entry_point_length", 8));
    const std::string version = section.value("version", "2.3");
    if (version.size() != 3 || version[1] != '.') throw std::invalid_argument("smbios.version: expected \"2.x\"");
    layout.major = static_cast<uint8_t>(version[0] - '0');
    layout.minor = static_cast<uint8_t>(version[2] - '0');
    layout.tableAddress =
        ParseAddress(section.value("table_address", json(layout.address + 0x20)), "smbios.table_address");
    layout.tableLength = static_cast<uint16_t>(
        section.contains("table_length") ? ParseUnsigned(section.at("table_length"), "smbios.table_length", 16)
                                         : table.size());
    layout.count = static_cast<uint16_t>(
        section.contains("structure_count")
            ? ParseUnsigned(section.at("structure_count"), "smbios.structure_count", 16)
            : count + ParseUnsigned(quirks.value("extra_announced", json(0)), "smbios.quirks.extra_announced", 16));
    layout.maxStructure = maxStructure;
    layout.dmiAnchor = !quirks.value("no_dmi_anchor", false);

    machine.memory()->write(layout.tableAddress, table);
    if (quirks.value("sm3_only", false)) {
        machine.memory()->write(layout.address, EntryPoint3(layout));
        return;
    }
    std::vector<uint8_t> ep = EntryPoint(layout);
    if (quirks.contains("bad_checksum_decoy_at")) {
        std::vector<uint8_t> decoy = ep;
        decoy[0x04] = static_cast<uint8_t>(decoy[0x04] + 1);
        machine.memory()->write(ParseAddress(quirks.at("bad_checksum_decoy_at"), "smbios.quirks.bad_checksum_decoy_at"),
                                decoy);
    }
    machine.memory()->write(layout.address, ep);
}

} // namespace zhost
