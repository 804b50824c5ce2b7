// The fan control the owner chooses from the tray menu and the window: one
// of the presets, the configuration the owner edited ("custom"), or off
// (ZerloAuto stopped). Which one is in force is read from ZerloAuto's
// installed configuration, never remembered: the installer, zerloctl or an
// editor may have changed it since the monitor last looked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zerlomon {

// The installed configuration, compared with each preset made for the fans
// and sensors it controls itself: a preset is made for the fans and sensors
// a notebook check found, so the file names them as the check did.
struct InstalledConfig {
    std::string preset;  // a preset's name, "custom" when it is none, "" when it cannot be read
    std::string problem; // why it cannot be read
    std::vector<uint16_t> fans;
    std::vector<uint16_t> sensors; // every sensor any of its fans follows, ascending
};

// A configuration file of more than this is no preset and not read.
inline constexpr size_t kConfigReadLimit = 65536;

InstalledConfig JudgeConfigText(const std::string& text);
InstalledConfig UnreadableConfig(const std::string& problem);

// The text a preset replaces the installed configuration with.
std::string PresetForInstalled(const std::string& preset, const InstalledConfig& config);

struct FanControlItem {
    std::string choice; // a preset's name, "custom" or "off"
    std::string label;  // as the menu and the window show it
    bool checked = false;
    bool enabled = false;
};

// The one in force: "off" unless the service runs (or is on its way to),
// then the installed configuration's preset or "custom"; "" when the
// service's state or its configuration is not known.
std::string FanControlInForce(const std::string& serviceState, const InstalledConfig& config);

// The presets, "Custom" while the installed configuration is the owner's
// own, and "Off", in the order the menu shows them. Nothing can be chosen
// while an earlier choice is still being carried out, or when ZerloAuto is
// not installed (the setup or zerloctl install-auto installs it).
std::vector<FanControlItem> FanControlItems(const std::string& serviceState, const InstalledConfig& config, bool busy);

// What choosing an item does: the action for the service ("stop", "start"
// or a preset's name: that configuration, then a restart), nothing when it
// is in force already, and the question to ask before an action that
// overwrites a configuration the owner edited.
struct FanControlPlan {
    std::string action;
    std::string question;
};
FanControlPlan PlanFanControl(const std::string& choice, const std::string& serviceState,
                              const InstalledConfig& config);

} // namespace zerlomon
