#include "loop/presets.h"

#include <sstream>
#include <stdexcept>

namespace zerloctl {

// Every preset keeps to what the loop's checker will hold a configuration
// to: the top step is high and starts well below the critical 90 C, polls
// are at least half a second apart, a fan holds a change for at least two
// polls, and each step's up and down are at least 2 C apart. The longer a
// fan holds a change, the fewer changes an owner hears: quiet holds longest.
// Each states the loop's default critical temperature, so that the owner who
// edits it sees where that line is.
constexpr double kPresetCritical = 90;
const std::vector<Preset> kPresets = {
    {"quiet", "fans late and seldom changed; the notebook runs warmer", 2, 60, {60, 52}, {75, 67}},
    {"balanced", "the fans follow the heat at a middle pace", 2, 30, {52, 46}, {68, 60}},
    {"cool", "fans early; cooler and louder", 2, 20, {45, 40}, {60, 53}},
};

namespace {

std::string Show(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

const Preset& FindPreset(const std::string& name)
{
    for (const Preset& preset : kPresets)
        if (name == preset.name) return preset;
    throw std::invalid_argument("no preset " + name + " (" + PresetNamesInWords() + ")");
}

std::string Step(const char* state, const PresetStep& step, double later)
{
    return R"({"state": ")" + std::string(state) + R"(", "up": )" + Show(step.up + later) + R"(, "down": )" +
           Show(step.down + later) + "}";
}

} // namespace

std::vector<std::string> PresetNames()
{
    std::vector<std::string> names;
    for (const Preset& preset : kPresets)
        names.emplace_back(preset.name);
    return names;
}

std::string PresetNamesInWords()
{
    std::string text;
    for (size_t i = 0; i < kPresets.size(); ++i)
        text += (i == 0 ? "" : i + 1 == kPresets.size() ? " or " : ", ") + std::string(kPresets[i].name);
    return text;
}

std::string PresetConfig(const std::string& name, const std::vector<uint16_t>& fans,
                         const std::vector<uint16_t>& sensors)
{
    const Preset& preset = FindPreset(name);
    if (fans.empty() || sensors.empty()) throw std::invalid_argument("a preset needs a fan and a sensor");
    std::string sensorList;
    for (uint16_t sensor : sensors)
        sensorList += (sensorList.empty() ? "" : ", ") + std::to_string(sensor);
    std::ostringstream text;
    text << "{\n"
         << "  \"// preset\": \"" << preset.name << ": " << preset.help << "\",\n"
         << "  \"poll_seconds\": " << Show(preset.pollSeconds) << ",\n"
         << "  \"on_exit\": \"high\",\n"
         << "  \"// critical\": \"at or above this on any sensor, every fan goes high at once; 60 to 95\",\n"
         << "  \"critical\": " << Show(kPresetCritical) << ",\n"
         << "  \"fans\": [\n";
    for (size_t i = 0; i < fans.size(); ++i) {
        const double later = kLaterFanCelsius * static_cast<double>(i);
        text << "    {\n"
             << "      \"fan\": " << fans[i] << ",\n"
             << "      \"sensors\": [" << sensorList << "],\n"
             << "      \"idle_state\": \"off\",\n"
             << "      \"min_change_seconds\": " << Show(preset.minChangeSeconds) << ",\n"
             << "      \"steps\": [\n"
             << "        " << Step("low", preset.low, later) << ",\n"
             << "        " << Step("high", preset.high, later) << "\n"
             << "      ]\n"
             << "    }" << (i + 1 < fans.size() ? ",\n" : "\n");
    }
    text << "  ]\n}\n";
    return text.str();
}

} // namespace zerloctl
