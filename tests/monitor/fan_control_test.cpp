// The fan control of the menu and the window: which choice is in force for
// the installed configuration, what choosing one does, and what the
// service panel says while and after an action runs.
#include "fan_control_menu.h"
#include "service_view.h"

#include "loop/presets.h"

#include <gtest/gtest.h>

namespace zerlomon {
namespace {

// The menu as one line: "label" with [x] checked, (-) disabled.
std::string Menu(const std::vector<FanControlItem>& items)
{
    std::string text;
    for (const FanControlItem& item : items)
        text += (text.empty() ? "" : " ") + item.label + (item.checked ? "[x]" : "") + (item.enabled ? "" : "(-)");
    return text;
}

// The cool preset for fan 0 and `sensors`, with its owner's edit.
InstalledConfig EditedCool(const std::vector<uint16_t>& sensors)
{
    std::string text = zerloctl::PresetConfig("cool", {0}, sensors);
    const std::string step = "\"up\": 60";
    text.replace(text.find(step), step.size(), "\"up\": 62");
    return JudgeConfigText(text);
}

TEST(FanControl, EachPresetsFileIsThatPresetWhileTheServiceRuns)
{
    const char* const menus[] = {"Quiet[x] Balanced Cool Off", "Quiet Balanced[x] Cool Off",
                                 "Quiet Balanced Cool[x] Off"};
    for (size_t i = 0; i < zerloctl::kPresets.size(); ++i) {
        const std::string name = zerloctl::kPresets[i].name;
        const std::string text = zerloctl::PresetConfig(name, {0, 1}, {0, 2, 3});
        const InstalledConfig config = JudgeConfigText(text);
        EXPECT_EQ(config.preset, name);
        EXPECT_EQ(config.fans, (std::vector<uint16_t>{0, 1}));
        EXPECT_EQ(config.sensors, (std::vector<uint16_t>{0, 2, 3}));
        EXPECT_EQ(PresetForInstalled(name, config), text);
        EXPECT_EQ(Menu(FanControlItems("running", config, false)), menus[i]);
        EXPECT_EQ(Menu(FanControlItems("stopped", config, false)), "Quiet Balanced Cool Off[x]");
        // Saved again by an editor that writes CR LF line ends.
        std::string crlf;
        for (char c : text)
            crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        EXPECT_EQ(JudgeConfigText(crlf).preset, name);
    }
}

TEST(FanControl, AnEditedConfigurationIsCustomAndReplacedOnlyAfterAQuestion)
{
    const std::string cool = zerloctl::PresetConfig("cool", {0}, {0, 1});
    const InstalledConfig edited = EditedCool({0, 1});
    EXPECT_EQ(edited.preset, "custom");
    EXPECT_EQ(Menu(FanControlItems("running", edited, false)), "Quiet Balanced Cool Custom[x] Off");
    EXPECT_EQ(Menu(FanControlItems("stopped", edited, false)), "Quiet Balanced Cool Custom Off[x]");
    const FanControlPlan quiet = PlanFanControl("quiet", "stopped", edited);
    EXPECT_EQ(quiet.action, "quiet");
    EXPECT_EQ(quiet.question, "ZerloAuto's configuration was edited: it is none of the presets. Replace it with the "
                              "quiet preset? The edited configuration is lost.");
    // The owner's own configuration is started as it is, and stopped.
    EXPECT_EQ(PlanFanControl("custom", "stopped", edited).action, "start");
    EXPECT_EQ(PlanFanControl("off", "running", edited).action, "stop");
    // A preset's file is replaced without a question; the one in force is
    // only started, and one in force and running is left alone.
    const InstalledConfig preset = JudgeConfigText(cool);
    EXPECT_EQ(PlanFanControl("quiet", "running", preset).action, "quiet");
    EXPECT_EQ(PlanFanControl("quiet", "running", preset).question, "");
    EXPECT_EQ(PlanFanControl("cool", "stopped", preset).action, "start");
    EXPECT_EQ(PlanFanControl("cool", "running", preset).action, "");
    EXPECT_EQ(PlanFanControl("off", "stopped", preset).action, "");
}

TEST(FanControl, NothingToChooseWithoutTheServiceOrWhileAChoiceIsCarriedOut)
{
    const InstalledConfig cool = JudgeConfigText(zerloctl::PresetConfig("cool", {0}, {0}));
    EXPECT_EQ(Menu(FanControlItems("not installed", UnreadableConfig(""), false)),
              "Quiet(-) Balanced(-) Cool(-) Off[x](-)");
    EXPECT_EQ(Menu(FanControlItems("starting", cool, true)), "Quiet(-) Balanced(-) Cool[x](-) Off(-)");
    EXPECT_EQ(Menu(FanControlItems("stopping", EditedCool({0}), true)),
              "Quiet(-) Balanced(-) Cool(-) Custom(-) Off[x](-)");
    EXPECT_EQ(Menu(FanControlItems("unknown", cool, false)), "Quiet(-) Balanced(-) Cool(-) Off(-)");
}

TEST(FanControl, AConfigurationThatCannotBeReadChecksNoPresetAndIsNotReplaced)
{
    const struct {
        std::string text, problem;
    } cases[] = {
        {"{\"fans\": [", "the configuration: line 1, column 10: syntax error while parsing value - unexpected "
                         "end of input; expected '[', '{', or a literal"},
        {"[]", "the configuration has no list of fans"},
        {R"({"fans": [{"sensors": [0]}]})", "a fan of the configuration has no number"},
        {R"({"fans": [{"fan": 0, "sensors": [-1]}]})", "the configuration follows no sensor"},
        {R"({"fans": []})", "the configuration controls no fan"},
        {std::string(kConfigReadLimit + 1, ' '), "the configuration is larger than 65536 bytes"},
    };
    for (const auto& c : cases) {
        const InstalledConfig config = JudgeConfigText(c.text);
        EXPECT_EQ(config.problem, c.problem);
        EXPECT_EQ(Menu(FanControlItems("running", config, false)), "Quiet(-) Balanced(-) Cool(-) Off");
        EXPECT_EQ(PlanFanControl("cool", "running", config).action, "");
    }
}

TEST(ServiceView, AnActionShowsItsPendingStateThenTheStateReached)
{
    EXPECT_EQ(PendingLabel("start"), "ZerloAuto: starting\xE2\x80\xA6");
    EXPECT_EQ(PendingLabel("cool"), "ZerloAuto: starting\xE2\x80\xA6");
    EXPECT_EQ(PendingLabel("stop"), "ZerloAuto: stopping\xE2\x80\xA6");
    EXPECT_EQ(ActionOutcome("stop", true, "ZerloAuto: stopped", "stopped"), "ZerloAuto: stopped");
    // The elevated instance gave up waiting, but the service started.
    EXPECT_EQ(ActionOutcome("quiet", false, "ZerloAuto: quiet as an administrator: no answer within 120 s", "running"),
              "ZerloAuto: quiet as an administrator: no answer within 120 s; yet ZerloAuto is running now");
    EXPECT_EQ(ActionOutcome("start", false, "ZerloAuto did not start: error 5", "stopped"),
              "ZerloAuto did not start: error 5; ZerloAuto is stopped now");
    EXPECT_EQ(ActionOutcome("start", true, "ZerloAuto: start done as an administrator", "stopped"),
              "ZerloAuto: start done as an administrator, but ZerloAuto is stopped now");
}

} // namespace
} // namespace zerlomon
