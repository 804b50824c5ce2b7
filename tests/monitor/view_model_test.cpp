// The monitor's view model: what the window, the icon and the tooltip show
// of a recording, compared whole where it is text.
#include "graph.h"
#include "recording.h"
#include "service_view.h"
#include "tray_face.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace zerlomon {
namespace {

const char kSample[] =
    R"({"fans":[{"fan":0,"rpm":4500,"state":2,"state_name":"high"},{"fan":1,"error":"firmware call failed"}],)"
    R"("sensors":[{"celsius":67,"sensor":0},{"error":"firmware call failed","sensor":1}],)"
    R"("time":"sim 00:10:30"})";

Recording Read(const std::string& text)
{
    std::istringstream in(text);
    return ReadRecording(in, "rec");
}

MonitorSample At(double seconds, std::vector<std::optional<uint32_t>> celsius)
{
    MonitorSample sample;
    sample.seconds = seconds;
    for (const auto& value : celsius)
        sample.sensors.push_back({value, value ? "" : "firmware call failed"});
    sample.fans = {{2, 4500, ""}, {1, 2400, ""}};
    return sample;
}

TEST(Recording, StampsOfBothClocks)
{
    EXPECT_EQ(StampSeconds("sim 00:10:30"), 630);
    EXPECT_EQ(StampSeconds("sim 123:00:01"), 442801);
    EXPECT_EQ(StampSeconds("2026-12-07 13:05:09"), 1796648709);
    EXPECT_EQ(StampSeconds("2000-03-01 00:00:00") - StampSeconds("2000-02-28 00:00:00"), 2 * 86400);
    // The last hour whose seconds a double holds exactly, and the next.
    EXPECT_EQ(StampSeconds("sim 2501999792982:59:59"), 9007199254738799.0);
    for (const char* bad : {"sim 00:60:00", "sim 1:2", "00:10:30", "2026-13-01 00:00:00", "2026-12-07 13:05:09Z", "",
                            "sim -1:00:00", "sim +1:00:00", "sim  1:00:00", "sim 1:-1:00", "sim 1:0:00",
                            "sim 2501999792983:00:00", "sim 2562047788015:12:55", "-026-12-07 13:05:09",
                            "2026-12-07 13:05:-9", "2026-12-07  3:05:09", "2026-12-00 00:00:00"})
        EXPECT_THROW(StampSeconds(bad), std::invalid_argument) << bad;
}

// The sample's one shape: what watch writes is what the monitor reads, and
// a line that watch wrote before its monotonic stamp still reads.
TEST(Recording, ASampleReadsBackAsWrittenAndAnOlderLineStillReads)
{
    const zerloctl::Sample full{"2026-10-25 02:59:58",
                                12.5,
                                "",
                                {{2, 4500, ""}, {std::nullopt, std::nullopt, "firmware call failed"}},
                                {{67, ""}, {std::nullopt, "firmware call failed"}},
                                {{12, ""}, {std::nullopt, "no Super-I/O chip"}}};
    const std::string line =
        R"({"fans":[{"fan":0,"rpm":4500,"state":2,"state_name":"high"},{"error":"firmware call failed","fan":1}],)"
        R"("monotonic":12.5,"sensors":[{"celsius":67,"sensor":0},{"error":"firmware call failed","sensor":1}],)"
        R"("sio_levels":[{"fan":0,"level":12},{"error":"no Super-I/O chip","fan":1}],"time":"2026-10-25 02:59:58"})";
    EXPECT_EQ(zerloctl::SampleJson(full).dump(), line);
    EXPECT_EQ(zerloctl::SampleFromJson(nlohmann::json::parse(line)), full);
    const zerloctl::Sample failed{"sim 00:00:01", 1, "no device", {}, {}, {}};
    EXPECT_EQ(zerloctl::SampleJson(failed).dump(),
              R"({"failure":"no device","fans":[],"monotonic":1.0,"sensors":[],"time":"sim 00:00:01"})");
    EXPECT_EQ(zerloctl::SampleFromJson(zerloctl::SampleJson(failed)), failed);

    const Recording r =
        Read(std::string(kSample) + "\r\n\n" +
             R"({"event":"fail-safe","reason":"sensor 1: firmware call failed","time":"sim 00:10:30"})");
    ASSERT_EQ(r.samples.size(), 1u);
    const zerloctl::Sample older{"sim 00:10:30",
                                 std::nullopt,
                                 "",
                                 {{2, 4500, ""}, {std::nullopt, std::nullopt, "firmware call failed"}},
                                 {{67, ""}, {std::nullopt, "firmware call failed"}},
                                 {}};
    EXPECT_EQ(static_cast<const zerloctl::Sample&>(r.samples[0]), older);
    EXPECT_EQ(r.samples[0].seconds, 630);
    EXPECT_EQ(FanText(r.samples[0].fans[0]) + " | " + FanText(r.samples[0].fans[1]) + " | " +
                  SensorText(r.samples[0].sensors[0]),
              "high, 4500 rpm | firmware call failed | 67 °C");
    ASSERT_EQ(r.events.size(), 1u);
    EXPECT_EQ(r.events[0].kind + ": " + r.events[0].reason, "fail-safe: sensor 1: firmware call failed");
}

// The end of summer time: the wall clock goes back an hour between two
// samples 15 s apart.
TEST(Recording, AClockSetBackKeepsTheSamplesInOrderAndMarksTheJump)
{
    using Placed = std::vector<std::pair<double, double>>; // seconds, clock jump
    const auto placed = [](const Recording& r) {
        Placed out;
        for (const MonitorSample& sample : r.samples)
            out.emplace_back(sample.seconds, sample.clockJump);
        return out;
    };
    const Recording recorded = ReadRecordingFile(ZERLOMON_CLOCK_BACK);
    EXPECT_EQ(placed(recorded), (Placed{{0, 0}, {15, 0}, {30, 0}, {45, -3600}, {60, 0}}));
    // The line runs on unbroken; one mark tells where the stamps jumped.
    const SensorGraph graph = LayoutGraph(recorded.samples, 0, 60, {}, {{0, 0, 800, 500}, {100, 50, 700, 450}}, 10);
    EXPECT_EQ(graph.runs.size(), 1u);
    EXPECT_EQ(graph.clockMarks, (std::vector<ClockMark>{{550, "clock -1 h"}}));
    std::string texts;
    for (double jump : {-3600.0, 3600.0 + 150, -45.4, 31.0, 90061.0, 0.2})
        texts += ClockJumpText(jump) + " | ";
    EXPECT_EQ(texts, "-1 h | +1 h 2 min 30 s | -45 s | +31 s | +25 h 1 min 1 s | +0 s | ");
    // The same samples as watch wrote them before it had a monotonic
    // clock: the wall clock places them, and in file order.
    std::string older;
    for (const char* time : {"02:59:30", "02:59:45", "03:00:00", "02:00:15", "02:00:30"})
        older += std::string(R"({"fans":[],"sensors":[],"time":"2026-10-25 )") + time + "\"}\n";
    const double start = StampSeconds("2026-10-25 02:59:30");
    EXPECT_EQ(placed(Read(older)),
              (Placed{{start, 0}, {start + 15, 0}, {start + 30, 0}, {start + 30, -3585}, {start + 45, 0}}));
    // A second run of watch appended to the file: its monotonic clock
    // starts again, and the wall clock places it after the first.
    std::string appended;
    for (const auto& [time, monotonic] : std::vector<std::pair<const char*, const char*>>{
             {"10:00:00", "0.0"}, {"10:00:15", "15.0"}, {"10:05:00", "0.0"}, {"10:05:15", "15.0"}})
        appended += std::string(R"({"fans":[],"sensors":[],"time":"2026-10-25 )") + time + R"(","monotonic":)" +
                    monotonic + "}\n";
    EXPECT_EQ(placed(Read(appended)), (Placed{{0, 0}, {15, 0}, {300, 0}, {315, 0}}));
}

TEST(Recording, MalformedLinesNameTheirLine)
{
    const std::string good = kSample;
    const struct {
        std::string text, error;
    } cases[] = {
        {good + "\nfan 0: high",
         "rec:2: line 1, column 3: syntax error while parsing value - invalid literal; last read: 'fan'"},
        {good + "\n[1, 2]", "rec:2: not a JSON object (a line of `zerloctl --json watch` or `auto --json`)"},
        {R"({"fans":[],"sensors":[]})", "rec:1: no \"time\""},
        {R"({"time":"sim 00:00:01","sensors":[]})", "rec:1: no \"fans\""},
        {R"({"time":"at noon","fans":[],"sensors":[]})",
         "rec:1: time \"at noon\" is neither \"sim H:MM:SS\" nor \"YYYY-MM-DD HH:MM:SS\""},
        {R"({"time":"sim 00:00:01","fans":[],"sensors":[{"sensor":1,"celsius":40}]})",
         "rec:1: \"sensors\" entry 0 is not sensor 0"},
        {R"({"time":"sim 00:00:01","fans":[],"sensors":[{"sensor":0,"celsius":-4}]})",
         "rec:1: \"celsius\" is not a count"},
        {R"({"time":"sim 00:00:01","fans":[{"fan":0,"state":1}],"sensors":[]})", "rec:1: no \"rpm\""},
        {R"({"time":"sim 00:00:01","monotonic":-1,"fans":[],"sensors":[]})",
         "rec:1: \"monotonic\" is -1, not seconds from 0 to 9007199254740"},
        // Held to the configuration reader's rules (tested with it): no
        // number wraps, no key is named twice, no list nests deep.
        {R"({"time":"sim 00:00:01","fans":[],"sensors":[{"sensor":0,"celsius":4294967296}]})",
         "rec:1: \"celsius\" is 4294967296, above 4294967295"},
        {R"({"time":"sim 00:00:01","fans":[{"fan":0,"state":18446744073709551615,"rpm":0}],"sensors":[]})",
         "rec:1: \"state\" is 18446744073709551615, above 4294967295"},
        {R"({"event":"change","fan":65536,"time":"sim 00:00:01"})", "rec:1: \"fan\" is 65536, above 65535"},
        {R"({"time":"sim 00:00:01","fans":[],"sensors":[],"time":"sim 00:00:02"})", "rec:1: time: named twice"},
        {R"({"time":"sim 00:00:01","fans":[],"sensors":[[[[[[[[]]]]]]]]})",
         "rec:1: sensors: lists and objects nested more than 8 deep"},
        {R"({"event":"change","time":"sim 00:00:01"})", "rec: no sample of `zerloctl --json watch` in it"},
        {"", "rec: no sample of `zerloctl --json watch` in it"},
    };
    for (const auto& c : cases) {
        try {
            Read(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ReplayError& error) {
            EXPECT_EQ(std::string(error.what()), c.error);
        }
    }
}

// Only a regular file is read (by zerloctl's check, tested with zerloctl),
// and only so much of it: the zero device would fill memory.
TEST(Recording, AFileIsRefusedByWhatItIsAndItsSize)
{
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("zerlomon-" + std::to_string(getpid()));
    std::filesystem::create_directory(folder);
    const std::string large = (folder / "large.jsonl").string();
    std::ofstream(large).close();
    std::filesystem::resize_file(large, kMaxRecordingBytes + 1); // sparse: no disk is used
    const struct {
        std::string path, error;
    } cases[] = {
        {"/dev/zero", "/dev/zero: a device, not a regular file"},
        {large, large + ": longer than 67108864 bytes"},
    };
    for (const auto& c : cases) {
        try {
            ReadRecordingFile(c.path);
            ADD_FAILURE() << "accepted: " << c.path;
        } catch (const ReplayError& error) {
            EXPECT_EQ(std::string(error.what()), c.error);
        }
    }
    std::filesystem::remove_all(folder);
}

TEST(Graph, ScaleCoversReadingsAndThresholdsInWholeTens)
{
    const struct {
        std::vector<double> values;
        double low, high;
        std::vector<double> ticks;
    } cases[] = {
        {{}, 20, 60, {20, 30, 40, 50, 60}},
        {{40}, 30, 60, {30, 40, 50, 60}},
        {{48, 50}, 40, 70, {40, 50, 60, 70}},
        {{0, 125}, -10, 130, {0, 20, 40, 60, 80, 100, 120}},
    };
    for (const auto& c : cases) {
        const Scale scale = TemperatureScale(c.values);
        EXPECT_EQ(scale.low, c.low);
        EXPECT_EQ(scale.high, c.high);
        EXPECT_EQ(scale.ticks, c.ticks);
    }
}

TEST(Graph, ThresholdsOfTheFansThatFollowASensorAndTheCriticalOne)
{
    const zerloctl::AutoConfig config = zerloctl::ParseAutoConfig(nlohmann::json::parse(zerloctl::ExampleAutoConfig()));
    std::vector<std::string> labels;
    for (const Threshold& t : SensorThresholds(config, 2))
        labels.push_back(t.label + " " + "^v!"[t.kind]);
    EXPECT_EQ(labels,
              (std::vector<std::string>{"fan 1 low up 50 °C ^", "fan 1 low down 44 °C v", "fan 1 high up 64 °C ^",
                                        "fan 1 high down 56 °C v", "critical 90 °C !"}));
    EXPECT_EQ(SensorThresholds(config, 0).size(), 9u);
    EXPECT_TRUE(SensorThresholds(config, 3).empty()); // the loop never reads it
}

// Every sensor gets a graph of the same height, never less than its texts
// need: what does not fit the panel scrolls, nothing is left blank.
TEST(Graph, PanelGivesEverySensorAGraphAndScrollsTheRest)
{
    const PanelSize size{600, 520, 13, 100};
    const struct {
        unsigned graphs;
        size_t thresholds;
        PanelSize size;
        int scroll;
        int content, scrolled;
        GraphPlace last;
    } cases[] = {
        {4, 9, size, 50, 520, 0, {{0, 390, 600, 520}, {36, 409, 482, 501}}},
        // Nine labels need nine lines, more than a sixteenth of the panel.
        {16, 9, size, 5000, 1904, 1384, {{0, 401, 600, 520}, {36, 420, 482, 501}}},
        {16, 0, {600, 520, 13, 0}, 100, 1232, 100, {{0, 1055, 600, 1132}, {36, 1074, 584, 1113}}},
    };
    for (const auto& c : cases) {
        const Panel panel = LayoutPanel(c.size, c.graphs, c.thresholds, c.scroll);
        EXPECT_EQ(panel.graphs.size(), c.graphs);
        EXPECT_EQ(panel.contentHeight, c.content) << c.graphs;
        EXPECT_EQ(panel.scroll, c.scrolled) << c.graphs;
        EXPECT_EQ(panel.graphs.back(), c.last) << c.graphs;
    }
    std::vector<MonitorSample> sixteenThenThree(2);
    sixteenThenThree[0].sensors.resize(16);
    sixteenThenThree[1].sensors.resize(3);
    EXPECT_EQ(GraphCount(sixteenThenThree), 16u);
    sixteenThenThree[0].sensors.resize(40);
    EXPECT_EQ(GraphCount(sixteenThenThree), kMostGraphs);
    EXPECT_EQ(GraphCount({}), 1u);
}

TEST(Graph, PointsGapsThresholdsAndLabelsInThePlot)
{
    // 10 minutes over 600 pixels, 30..70 degrees over 400: a pixel a
    // second, ten pixels a degree. The sample before the span is left out.
    // A reading the loop refuses (255, 0, an error) or a sample that failed
    // whole is a gap, and leaves the scale to the real readings; a sample
    // that did not read the sensor only breaks the line.
    MonitorSample noDevice;
    noDevice.seconds = 550;
    noDevice.failure = "cannot open \\\\.\\ZerloDev: error 2";
    const std::vector<MonitorSample> samples = {At(0, {30}),   At(100, {40}), At(200, {255}),          At(250, {0}),
                                                At(300, {45}), At(400, {50}), At(500, {std::nullopt}), noDevice,
                                                At(600, {}),   At(700, {60})};
    const std::vector<Threshold> thresholds = {
        {55, Threshold::kUp, "up 55"}, {54, Threshold::kDown, "down 54"}, {55, Threshold::kCritical, "critical 55"}};
    const SensorGraph g = LayoutGraph(samples, 0, 600, thresholds, {{0, 0, 800, 500}, {100, 50, 700, 450}}, 10);
    EXPECT_EQ(g.title, "sensor 0: 60 °C");
    EXPECT_EQ(g.runs, (std::vector<std::vector<Point>>{{{100, 350}}, {{300, 300}, {400, 250}}, {{700, 150}}}));
    EXPECT_EQ(g.gaps, (std::vector<Gap>{{200, 250}, {500, 550}}));
    std::vector<Label> labels;
    for (const ThresholdLine& line : g.thresholds)
        labels.push_back({line.y, line.label.y, line.label.text});
    // The two at 55 are moved a line apart, and the one at 54 below them.
    EXPECT_EQ(labels, (std::vector<Label>{{200, 200, "up 55"}, {210, 220, "down 54"}, {200, 210, "critical 55"}}));
    EXPECT_EQ(g.thresholds[0].label.x, 714);
    EXPECT_EQ(g.yLabels,
              (std::vector<Label>{{96, 450, "30"}, {96, 350, "40"}, {96, 250, "50"}, {96, 150, "60"}, {96, 50, "70"}}));
    EXPECT_EQ(g.xLabels, (std::vector<Label>{{220, 452, "-8 min"},
                                             {340, 452, "-6 min"},
                                             {460, 452, "-4 min"},
                                             {580, 452, "-2 min"},
                                             {700, 452, "now"}}));
    // Forty pixels for 30..70: a label every other tick, the top one kept.
    std::vector<std::string> ticks;
    for (const Label& label :
         LayoutGraph(samples, 0, 600, thresholds, {{0, 0, 800, 100}, {100, 50, 700, 90}}, 10).yLabels)
        ticks.push_back(label.text);
    EXPECT_EQ(ticks, (std::vector<std::string>{"30", "50", "70"}));
    const GraphPlace tiny{{0, 0, 10, 10}, {0, 0, 10, 10}};
    const struct {
        std::vector<MonitorSample> samples;
        unsigned sensor;
        std::string title;
    } titles[] = {
        {{noDevice}, 0, "sensor 0: cannot open \\\\.\\ZerloDev: error 2"},
        {{}, 1, "sensor 1: no sample yet"},
        {{At(0, {40, 255})}, 1, "sensor 1: reading 255 outside 1-125"},
        {{At(0, {40, std::nullopt})}, 1, "sensor 1: firmware call failed"},
        {{At(0, {40})}, 1, "sensor 1: not read"},
    };
    for (const auto& t : titles)
        EXPECT_EQ(LayoutGraph(t.samples, t.sensor, 600, {}, tiny, 10).title, t.title);
}

TEST(TrayFace, DigitsOfTheHottestFollowedSensor)
{
    // Sensor 9 is followed: a live poll reads up to it, and the icon
    // shows it, not the hotter sensor 0 nor a 255 of sensor 3.
    zerloctl::AutoConfig config;
    config.fans = {{0, {9, 1}, 0, {{1, 50, 44}, {2, 70, 60}}, 10}};
    std::vector<std::optional<uint32_t>> readings(16, 40);
    readings[0] = 90, readings[1] = std::nullopt, readings[3] = 255, readings[9] = 67;
    const MonitorSample sample = At(0, readings);
    const Hottest followed = HottestFollowed(sample, &config);
    EXPECT_EQ(followed.celsius, 67u);
    EXPECT_EQ(followed.top, 70);
    const Hottest any = HottestFollowed(sample, nullptr);
    EXPECT_EQ(any.celsius, 90u);
    EXPECT_EQ(any.top, kDefaultTopCelsius);
    // Red by the critical temperature at the latest, whatever the steps
    // say (a configuration built in memory has not met the checker).
    config.fans[0].steps[1].up = 125;
    config.critical = 88;
    EXPECT_EQ(HottestFollowed(sample, &config).top, 88);
    EXPECT_EQ(SensorsToRead(4, &config), 10u);
    EXPECT_EQ(SensorsToRead(12, &config), 12u);
    EXPECT_EQ(SensorsToRead(4, nullptr), 4u);
    config.fans[0].sensors = {kMostGraphs};
    EXPECT_EQ(SensorsToRead(4, &config), 4u);

    const IconFace face = MakeIconFace(followed);
    EXPECT_EQ(face.digits, "67");
    EXPECT_EQ(face.rows, (std::vector<std::string>{
                             "................", "................", "................", ".######..######.",
                             ".######..######.", ".##..........##.", ".##..........##.", ".######......##.",
                             ".######......##.", ".##..##......##.", ".##..##......##.", ".######......##.",
                             ".######......##.", "................", "................", "................"}));
    const IconFace hot = MakeIconFace({118, 80});
    EXPECT_EQ(hot.digits, "118");
    EXPECT_EQ(hot.rows[3], "##...##...######");
    EXPECT_EQ(MakeIconFace({std::nullopt, 80}).rows[7], ".######..######.");
}

TEST(TrayFace, ColourRunsFromGreenToRedBelowTheTopStep)
{
    const struct {
        std::optional<uint32_t> celsius;
        Colour colour;
    } cases[] = {{std::nullopt, {128, 128, 128}},
                 {40, {0, 160, 0}},
                 {50, {0, 160, 0}},
                 {65, {230, 150, 0}},
                 {72, {225, 80, 0}},
                 {80, {220, 0, 0}},
                 {125, {220, 0, 0}}};
    for (const auto& c : cases)
        EXPECT_EQ(HeatColour({c.celsius, 80}), c.colour) << c.celsius.value_or(0);
}

TEST(TrayFace, TooltipNamesEveryReading)
{
    const MonitorSample sample = At(0, {67, std::nullopt, 44, 255});
    EXPECT_EQ(TooltipText(sample, {67, 80}, "running"),
              "Zerlo: hottest 67 C\nsensors: 67, failed, 44, failed C\nfan 0: high, 4500 rpm\nfan 1: low, 2400 rpm\n"
              "automatic: running");
    MonitorSample failed;
    failed.failure = "cannot open \\\\.\\ZerloDev: error 2 (is the zerlo service started?)";
    EXPECT_EQ(TooltipText(failed, {}, "not installed"),
              "Zerlo: cannot open \\\\.\\ZerloDev: error 2 (is the zerlo service started?)\nautomatic: not installed");
    const std::string longest = TooltipText(At(0, std::vector<std::optional<uint32_t>>(40, 100)), {100, 80}, "running");
    EXPECT_EQ(longest.size(), kTooltipLimit);
    EXPECT_EQ(longest.substr(longest.size() - 8), " 100,...");
}

TEST(ServiceView, ConfigOfTheServiceCommandLine)
{
    const struct {
        const char *command, *config;
    } cases[] = {
        {R"("C:\zerlo\zerloctl.exe" auto-service --config "C:\My Files\cool.json")", R"(C:\My Files\cool.json)"},
        {R"(C:\zerlo\zerloctl.exe auto-service --config C:\cool.json)", R"(C:\cool.json)"},
        {R"(C:\zerlo\zerloctl.exe auto-service --config "C:\cool.json)", ""},
        {R"(\SystemRoot\system32\drivers\zerlo.sys)", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ConfigOfServiceCommand(c.command), c.config) << c.command;
    EXPECT_EQ(LastLines("a\r\nb\n\nc\nd", 3), (std::vector<std::string>{"b", "c", "d"}));
}

TEST(ServiceView, LabelSaysWhyAFailureStoppedTheService)
{
    EXPECT_EQ(ServiceLabel("not installed", "", ""), "ZerloAuto: not installed");
    EXPECT_EQ(ServiceLabel("stopped",
                           "its log ends: 2026-12-07 13:05:09 stopped: not every controlled fan could be set high; "
                           "the fans may not be cooling",
                           R"(C:\zerlo\auto.log)"),
              "ZerloAuto: stopped after a failure; its log ends: 2026-12-07 13:05:09 stopped: not every controlled "
              "fan could be set high; the fans may not be cooling\nlog: C:\\zerlo\\auto.log");
}

TEST(ServiceView, BalloonOnceForEachNewFailSafe)
{
    const std::string failSafe =
        "2026-12-07 13:05:09 fail-safe: sensor 1: firmware call failed; every controlled fan to high";
    FailSafeNews news;
    EXPECT_EQ(news.lookAtLog({failSafe}), std::nullopt); // history
    EXPECT_EQ(news.lookAtLog({failSafe, "2026-12-07 13:05:11 readings trusted again"}), std::nullopt);
    const std::string again = "2026-12-07 14:00:00 fail-safe: sensor 0: reading 255 out of range; every "
                              "controlled fan to high";
    EXPECT_EQ(news.lookAtLog({failSafe, again}),
              "The fan loop failed safe: sensor 0: reading 255 out of range. Every controlled fan is set to high.");
    EXPECT_EQ(news.lookAtLog({again}), std::nullopt);

    FailSafeNews replay;
    LoopEventView event;
    event.kind = "fail-safe";
    event.reason = "sensor 1: firmware call failed";
    EXPECT_EQ(replay.lookAtEvents({event}),
              "The fan loop failed safe: sensor 1: firmware call failed. Every controlled fan is set to high.");
}

TEST(ServiceView, PollsNoFasterThanWatchAndSkipsTheWindowsItemsWhenHidden)
{
    const struct {
        double asked;
        bool shown;
        double interval;
        bool sio;
    } cases[] = {{0.1, true, kWatchFloorSeconds, true}, {2, true, 2, true}, {2, false, 2, false}};
    for (const auto& c : cases) {
        const PollPlan plan = PlanPoll(c.asked, c.shown);
        EXPECT_EQ(plan.interval, c.interval);
        EXPECT_EQ(plan.sio, c.sio);
    }
}

} // namespace
} // namespace zerlomon
