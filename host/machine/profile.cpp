#include "profile.h"

#include "profile_values.h"
#include "smbios_builder.h"

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
    machine.smm.behaviour = ParseSmmBehaviour(smm.value("handler", "notebook"));
    if (smm.contains("fans")) {
        machine.smm.fans.clear();
        for (const json& fan : smm.at("fans")) {
            RequireKnownKeys(fan, "smm.fans[]", {"state", "speed_units"});
            FanModel model;
            model.state = fan.value("state", uint16_t{0});
            if (fan.contains("speed_units")) model.speedUnits = fan.at("speed_units").get<std::array<uint16_t, 3>>();
            if (model.state > 2) throw std::invalid_argument("smm.fans[].state: 0 to 2");
            machine.smm.fans.push_back(model);
        }
    }
    if (smm.contains("sensors")) {
        for (const json& sensor : smm.at("sensors")) {
            RequireKnownKeys(sensor, "smm.sensors[]", {"name", "base_celsius", "cooling_per_level"});
            machine.smm.sensors.push_back({sensor.value("name", "sensor"), sensor.value("base_celsius", 50),
                                           sensor.value("cooling_per_level", 3)});
        }
    }
}

void ApplyMemory(Machine& machine, const json& blocks)
{
    for (const json& block : blocks) {
        RequireKnownKeys(block, "memory[]", {"address", "hex", "fill", "length"});
        const uint32_t address = ParseAddress(block.at("address"), "memory[].address");
        if (block.contains("hex")) {
            machine.memory.write(address, ParseHex(block.at("hex").get<std::string>(), "memory[].hex"));
        } else {
            const std::vector<uint8_t> bytes(block.at("length").get<uint32_t>(), block.at("fill").get<uint8_t>());
            machine.memory.write(address, bytes);
        }
    }
}

} // namespace

std::unique_ptr<Machine> BuildMachine(const json& profile)
{
    RequireKnownKeys(profile, "profile", {"name", "smm", "smbios", "memory"});
    auto machine = std::make_unique<Machine>();
    machine->name = profile.value("name", "unnamed");
    machine->smm.behaviour = SmmBehaviour::kNone;
    machine->smm.fans.clear();
    try {
        if (profile.contains("smm")) ApplySmm(*machine, profile.at("smm"));
        if (profile.contains("smbios")) ApplySmbios(*machine, profile.at("smbios"));
        if (profile.contains("memory")) ApplyMemory(*machine, profile.at("memory"));
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
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (uint64_t{address} + bytes.size() > (uint64_t{1} << 32)) {
        throw std::invalid_argument(path + ": does not fit below 4 GiB at that address");
    }
    machine.memory.write(address, bytes);
}

} // namespace zhost
