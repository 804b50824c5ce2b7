#include "fan_control_menu.h"

#include "input/json_reader.h"
#include "loop/presets.h"

#include <algorithm>
#include <stdexcept>

namespace zerlomon {

namespace {

using nlohmann::json;

// A configuration nests four deep; a preset is compared with it whole.
constexpr size_t kConfigDepth = 8;

bool IsNumber(const json& value)
{
    return value.is_number_unsigned() && value.get<uint64_t>() <= UINT16_MAX;
}

// The fans and sensors a configuration names. It need not be one the loop
// accepts: an edited file is replaced by a preset for the same fans.
void ReadParts(const json& config, InstalledConfig& judged)
{
    if (!config.is_object() || !config.contains("fans") || !config["fans"].is_array())
        throw std::invalid_argument("the configuration has no list of fans");
    for (const json& fan : config["fans"]) {
        if (!fan.is_object() || !fan.contains("fan") || !IsNumber(fan["fan"]))
            throw std::invalid_argument("a fan of the configuration has no number");
        judged.fans.push_back(fan["fan"].get<uint16_t>());
        if (!fan.contains("sensors") || !fan["sensors"].is_array()) continue;
        for (const json& sensor : fan["sensors"])
            if (IsNumber(sensor)) judged.sensors.push_back(sensor.get<uint16_t>());
    }
    std::sort(judged.sensors.begin(), judged.sensors.end());
    judged.sensors.erase(std::unique(judged.sensors.begin(), judged.sensors.end()), judged.sensors.end());
    if (judged.fans.empty()) throw std::invalid_argument("the configuration controls no fan");
    if (judged.sensors.empty()) throw std::invalid_argument("the configuration follows no sensor");
}

} // namespace

InstalledConfig UnreadableConfig(const std::string& problem)
{
    InstalledConfig config;
    config.problem = problem;
    return config;
}

InstalledConfig JudgeConfigText(const std::string& text)
{
    InstalledConfig judged;
    if (text.size() > kConfigReadLimit)
        return UnreadableConfig("the configuration is larger than " + std::to_string(kConfigReadLimit) + " bytes");
    json config;
    try {
        config = zerloctl::ParseJsonText(text, "the configuration", kConfigDepth);
        ReadParts(config, judged);
    } catch (const std::invalid_argument& error) {
        return UnreadableConfig(error.what());
    }
    // Compared as JSON values, so that line ends or spaces an editor changed
    // without a word of the configuration still count as the preset.
    judged.preset = "custom";
    for (const std::string& name : zerloctl::PresetNames()) {
        if (json::parse(PresetForInstalled(name, judged)) == config) judged.preset = name;
    }
    return judged;
}

std::string PresetForInstalled(const std::string& preset, const InstalledConfig& config)
{
    return zerloctl::PresetConfig(preset, config.fans, config.sensors);
}

std::string FanControlInForce(const std::string& serviceState, const InstalledConfig& config)
{
    if (serviceState == "not installed" || serviceState == "stopped" || serviceState == "stopping") return "off";
    if (serviceState == "running" || serviceState == "starting") return config.preset;
    return "";
}

std::vector<FanControlItem> FanControlItems(const std::string& serviceState, const InstalledConfig& config, bool busy)
{
    const std::string inForce = FanControlInForce(serviceState, config);
    const bool installed = serviceState != "not installed" && serviceState != "unknown";
    std::vector<FanControlItem> items;
    for (const zerloctl::Preset& preset : zerloctl::kPresets) {
        std::string label = preset.name;
        label[0] = static_cast<char>(label[0] - 'a' + 'A');
        items.push_back({preset.name, label, inForce == preset.name, installed && !busy && !config.preset.empty()});
    }
    if (config.preset == "custom") items.push_back({"custom", "Custom", inForce == "custom", installed && !busy});
    items.push_back({"off", "Off", inForce == "off", installed && !busy});
    return items;
}

FanControlPlan PlanFanControl(const std::string& choice, const std::string& serviceState, const InstalledConfig& config)
{
    if (choice == FanControlInForce(serviceState, config)) return {};
    if (choice == "off") return {"stop", ""};
    if (choice == "custom" || choice == config.preset) return {"start", ""};
    // A preset is made for the fans the file names: without them, none.
    if (config.preset.empty()) return {};
    if (config.preset != "custom") return {choice, ""};
    return {choice, "ZerloAuto's configuration was edited: it is none of the presets. Replace it with the " + choice +
                        " preset? The edited configuration is lost."};
}

} // namespace zerlomon
