#include "profile/profile.h"

#include "firmware_images/acpi_builder.h"
#include "firmware_images/smbios_builder.h"
#include "machine/profile_values.h"
#include "machine/super_io_chip.h"
#include "machine/thermal_model.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>

namespace zhost {

extern const char* const kDefaultNotebookProfileText; // generated from profiles/default_notebook.json

namespace {

using nlohmann::json;

void ApplySmm(Machine& machine, const json& smm)
{
    RequireKnownKeys(smm, "smm", {"handler", "fans", "sensors"});
    machine.smm()->behaviour = ParseSmmBehaviour(smm.value("handler", "notebook"));
    if (smm.contains("fans")) {
        machine.smm()->fans.clear();
        for (const json& fan : smm.at("fans")) {
            RequireKnownKeys(fan, "smm.fans[]", {"state", "speed_units"});
            FanModel model;
            model.state = fan.value("state", uint16_t{0});
            if (fan.contains("speed_units")) model.speedUnits = fan.at("speed_units").get<std::array<uint16_t, 3>>();
            if (model.state > 2) throw std::invalid_argument("smm.fans[].state: 0 to 2");
            machine.smm()->fans.push_back(model);
        }
    }
    if (smm.contains("sensors")) {
        for (const json& sensor : smm.at("sensors")) {
            RequireKnownKeys(sensor, "smm.sensors[]", {"name", "base_celsius", "cooling_per_level"});
            machine.smm()->sensors.push_back({sensor.value("name", "sensor"), sensor.value("base_celsius", 50),
                                              sensor.value("cooling_per_level", 3)});
        }
    }
}

uint8_t ParseByte(const json& value, const std::string& where)
{
    const uint32_t parsed = ParseAddress(value, where);
    if (parsed > 0xFF) throw std::invalid_argument(where + ": expected a byte");
    return static_cast<uint8_t>(parsed);
}

// One chip: which configuration port it answers, what it identifies as,
// where logical device 9's runtime block lies and the raw bytes of the two
// level registers (bit 7 set, level in bits 6..1).
void ApplySuperIo(Machine& machine, const json& superio)
{
    RequireKnownKeys(superio, "superio",
                     {"config_port", "device_id", "revision", "closed_data", "fan_base", "level_registers", "quirk"});
    SuperIoConfig config;
    const uint32_t configPort = ParseAddress(superio.at("config_port"), "superio.config_port");
    if (configPort != 0x2E && configPort != 0x4E) throw std::invalid_argument("superio.config_port: 0x2E or 0x4E");
    config.configPort = static_cast<uint16_t>(configPort);
    if (superio.contains("device_id")) config.deviceId = ParseByte(superio.at("device_id"), "superio.device_id");
    if (superio.contains("revision")) config.revision = ParseByte(superio.at("revision"), "superio.revision");
    if (superio.contains("closed_data")) {
        config.closedData = ParseByte(superio.at("closed_data"), "superio.closed_data");
    }

    // Any 16-bit value, as a chip's base registers can hold any: bases over
    // the board's fixed devices or at 0xFFFF are what the driver must refuse
    // to drive. A block placed over the chip's configuration ports is
    // shadowed by them.
    const uint32_t base = ParseAddress(superio.at("fan_base"), "superio.fan_base");
    if (base > 0xFFFF) throw std::invalid_argument("superio.fan_base: expected a 16-bit port");
    config.fanBase = static_cast<uint16_t>(base);

    if (superio.contains("level_registers")) {
        const json& levels = superio.at("level_registers");
        if (!levels.is_array() || levels.size() != 2) {
            throw std::invalid_argument("superio.level_registers: expected two bytes, fan 0 then fan 1");
        }
        for (size_t fan = 0; fan < 2; ++fan) {
            config.levelRegisters[fan] = ParseByte(levels[fan], "superio.level_registers[]");
        }
    }
    config.quirk = ParseSuperIoQuirk(superio.value("quirk", "none"));
    machine.addDevice(std::make_unique<SuperIoChip>(config));
}

void ApplyMemory(Machine& machine, const json& blocks)
{
    for (const json& block : blocks) {
        RequireKnownKeys(block, "memory[]", {"address", "hex", "fill", "length"});
        const uint32_t address = ParseAddress(block.at("address"), "memory[].address");
        if (block.contains("hex")) {
            machine.memory()->write(address, ParseHex(block.at("hex").get<std::string>(), "memory[].hex"));
        } else {
            const std::vector<uint8_t> bytes(block.at("length").get<uint32_t>(), block.at("fill").get<uint8_t>());
            machine.memory()->write(address, bytes);
        }
    }
}

// A table's name, or a physical address (up to 64 bits: firmware does put
// addresses above 4 GiB into XSDT entries).
AcpiReference ParseAcpiReference(const json& value, const std::string& where)
{
    AcpiReference reference;
    if (value.is_number_unsigned()) {
        reference.address = value.get<uint64_t>();
        return reference;
    }
    if (!value.is_string()) throw std::invalid_argument(where + ": expected a table name or an address");
    const std::string text = value.get<std::string>();
    if (text.rfind("0x", 0) != 0) {
        reference.table = text;
        return reference;
    }
    size_t used = 0;
    try {
        reference.address = std::stoull(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size()) throw std::invalid_argument(where + ": not an address: " + text);
    return reference;
}

std::string ParseText(const json& object, const char* key, const std::string& fallback)
{
    return object.contains(key) ? object.at(key).get<std::string>() : fallback;
}

AcpiFirmware ParseAcpi(const json& acpi)
{
    RequireKnownKeys(acpi, "acpi", {"ebda_segment", "tables", "rsdp"});
    AcpiFirmware firmware;
    if (acpi.contains("ebda_segment")) {
        const uint32_t segment = ParseAddress(acpi.at("ebda_segment"), "acpi.ebda_segment");
        if (segment > 0xFFFF) throw std::invalid_argument("acpi.ebda_segment: a 16-bit segment");
        firmware.ebdaSegment = static_cast<uint16_t>(segment);
    }
    for (const json& entry : acpi.value("tables", json::array())) {
        RequireKnownKeys(entry, "acpi.tables[]",
                         {"name", "signature", "address", "length", "revision", "oem_id", "oem_table_id",
                          "oem_revision", "creator_id", "creator_revision", "entries", "dsdt", "facs"});
        AcpiTableLayout table;
        table.signature = entry.at("signature").get<std::string>();
        table.name = ParseText(entry, "name", table.signature);
        table.address = ParseAddress(entry.at("address"), "acpi.tables[].address");
        if (entry.contains("length")) table.length = ParseAddress(entry.at("length"), "acpi.tables[].length");
        table.revision = entry.value("revision", table.revision);
        table.oemId = ParseText(entry, "oem_id", table.oemId);
        table.oemTableId = ParseText(entry, "oem_table_id", table.oemTableId);
        if (entry.contains("oem_revision")) {
            table.oemRevision = ParseAddress(entry.at("oem_revision"), "acpi.tables[].oem_revision");
        }
        table.creatorId = ParseText(entry, "creator_id", table.creatorId);
        if (entry.contains("creator_revision")) {
            table.creatorRevision = ParseAddress(entry.at("creator_revision"), "acpi.tables[].creator_revision");
        }
        for (const json& reference : entry.value("entries", json::array())) {
            table.entries.push_back(ParseAcpiReference(reference, "acpi.tables[].entries[]"));
        }
        if (entry.contains("dsdt")) table.dsdt = ParseAcpiReference(entry.at("dsdt"), "acpi.tables[].dsdt");
        if (entry.contains("facs")) table.facs = ParseAcpiReference(entry.at("facs"), "acpi.tables[].facs");
        firmware.tables.push_back(table);
    }
    for (const json& entry : acpi.value("rsdp", json::array())) {
        RequireKnownKeys(entry, "acpi.rsdp[]", {"address", "revision", "oem_id", "rsdt", "xsdt", "bad_checksum"});
        AcpiRsdpLayout rsdp;
        rsdp.address = ParseAddress(entry.at("address"), "acpi.rsdp[].address");
        rsdp.revision = entry.value("revision", rsdp.revision);
        rsdp.oemId = ParseText(entry, "oem_id", rsdp.oemId);
        if (entry.contains("rsdt")) rsdp.rsdt = ParseAcpiReference(entry.at("rsdt"), "acpi.rsdp[].rsdt");
        if (entry.contains("xsdt")) rsdp.xsdt = ParseAcpiReference(entry.at("xsdt"), "acpi.rsdp[].xsdt");
        rsdp.badChecksum = entry.value("bad_checksum", false);
        firmware.rsdps.push_back(rsdp);
    }
    return firmware;
}

} // namespace

std::unique_ptr<Machine> BuildMachine(const json& profile)
{
    RequireKnownKeys(profile, "profile", {"name", "smm", "smbios", "acpi", "memory", "superio", "thermal"});
    auto machine = std::make_unique<Machine>();
    machine->name = profile.value("name", "unnamed");
    machine->smm()->behaviour = SmmBehaviour::kNone;
    machine->smm()->fans.clear();
    try {
        if (profile.contains("smm")) ApplySmm(*machine, profile.at("smm"));
        if (profile.contains("thermal")) ApplyThermal(*machine, profile.at("thermal"));
        if (profile.contains("smbios")) ApplySmbios(*machine, profile.at("smbios"));
        if (profile.contains("acpi")) PlaceAcpiFirmware(*machine->memory(), ParseAcpi(profile.at("acpi")));
        // Raw memory blocks come last, so that a profile can patch firmware.
        if (profile.contains("memory")) ApplyMemory(*machine, profile.at("memory"));
        if (profile.contains("superio")) ApplySuperIo(*machine, profile.at("superio"));
    } catch (const json::exception& error) {
        throw std::invalid_argument(std::string("profile: ") + error.what());
    }
    return machine;
}

const json& DefaultNotebookProfile()
{
    static const json profile = json::parse(kDefaultNotebookProfileText);
    return profile;
}

json BareProfile()
{
    return json{{"name", "bare"}};
}

json LoadProfileFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in) throw std::invalid_argument(path + ": cannot open");
    try {
        return json::parse(in);
    } catch (const json::parse_error& error) {
        throw std::invalid_argument(path + ": " + error.what());
    }
}

void PlaceFile(Machine& machine, uint32_t address, const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::invalid_argument(path + ": cannot open");
    // Judged by its size before it is read: memory holds no more than fits.
    std::error_code unknown;
    const uintmax_t size = std::filesystem::file_size(path, unknown);
    if (unknown || uint64_t{address} + size > (uint64_t{1} << 32)) {
        throw std::invalid_argument(path + ": does not fit below 4 GiB at that address");
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (uint64_t{address} + bytes.size() > (uint64_t{1} << 32)) {
        throw std::invalid_argument(path + ": does not fit below 4 GiB at that address");
    }
    machine.memory()->write(address, bytes);
}

} // namespace zhost
