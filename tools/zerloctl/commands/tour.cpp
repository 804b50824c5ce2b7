#include "commands/tour.h"

#include "clock/make_clock.h"
#include "commands/composite_commands.h"
#include "commands/request_commands.h"
#include "loop/fan_loop.h"
#include "requests/firmware_text.h"
#include "requests/requests.h"
#include "requests/status_names.h"

#include "frame/zerlo_ioctl.h"

#include <algorithm>
#include <iostream>

namespace zerloctl {

namespace {

using nlohmann::json;

// Enough of the loop to see it follow the heat up, short enough to read.
constexpr int kLoopMinutes = 4;
constexpr int kHeatStepSeconds = 60;

class Tour {
  public:
    explicit Tour(Context& c) : c_(c) {}

    int run()
    {
        const bool simulated = c_.transport->hasSimulatedClock();
        heading("the driver's version, and the processor's speed in MHz");
        count(RunRequestCommand(c_, "version"));
        count(RunRequestCommand(c_, "cpu-speed"));
        heading("fans and sensors, as a fan-control utility polls them");
        count(ShowStatus(c_, 4, false));
        heading("fan 1 set high through the BIOS, then read back");
        count(RunRequestCommand(c_, "set-fan-state", 1, 2));
        count(RunRequestCommand(c_, "fan-state", 1));
        count(RunRequestCommand(c_, "fan-speed", 1));
        heading("the Super-I/O chip: found, fan 1 set to level 10, read back");
        count(RunRequestCommand(c_, "sio-detect"));
        count(RunRequestCommand(c_, "set-sio-level", 1, 10));
        count(RunRequestCommand(c_, "sio-level", 1));
        // Refusals are what this part shows: they do not fail the tour.
        heading("requests the driver refuses");
        RunRequestCommand(c_, "fan-speed", 2);
        RunRequestCommand(c_, "temperature", 256);
        heading("the SMBIOS inventory's first lines (all of it: zerloctl smbios)");
        firmwareHead("smbios", IOCTL_GET_SMBIOS_REPORT, 5);
        heading("the ACPI survey's first lines (all of it: zerloctl acpi)");
        firmwareHead("acpi", IOCTL_GET_ACPI_REPORT, 6);
        if (simulated)
            fanLoop();
        else
            say("== the fan loop ==\n"
                "On a real notebook the loop runs until it is stopped. To see what it would do,\n"
                "setting nothing:\n"
                "  zerloctl auto --print-example-config > cool.json\n"
                "  zerloctl auto --config cool.json --dry-run");
        heading("where next");
        say(simulated
                ? "zerloctl watch --time-scale 60     fans and sensors, live\n"
                  "zerloctl auto --config FILE        the fan loop (--print-example-config for a start)\n"
                  "zerloctl --sys build/target/zerlo.sys tour   this tour on the built zerlo.sys (emulated i386)\n"
                  "zerloctl --smbios-dump FILE --acpidump FILE smbios acpi   a real notebook's firmware"
                : "zerloctl watch                     fans and sensors, live\n"
                  "zerloctl auto --config FILE        the fan loop (--print-example-config for a start)\n"
                  "zerloctl install-auto --config FILE   the fan loop as a service, from startup on");
        return exit_;
    }

  private:
    void say(const std::string& text) const
    {
        if (!c_.asJson) std::cout << text << "\n";
    }
    // No blank lines between the parts: the whole tour fits two screens.
    void heading(const std::string& title) const { say("== " + title + " =="); }
    void count(int exit) { exit_ = std::max(exit_, exit); }

    // The first lines of a firmware text, control bytes shown as zerloctl
    // shows them.
    void firmwareHead(const char* command, uint32_t code, size_t lines)
    {
        const Reply reply = Request(*c_.transport, code);
        if (reply.status != Status("STATUS_SUCCESS")) {
            c_.emit(json{{"command", command}, {"status", reply.status}},
                    std::string(command) + ": refused by the driver: " + DescribeStatus(reply.status));
            return count(kRefusedOrFailed);
        }
        const std::string text = ReplyText(reply);
        json object{{"command", command}, {"first_lines", json::array()}};
        std::string shown;
        size_t at = 0;
        for (size_t line = 0; line < lines && at < text.size(); ++line) {
            const size_t end = std::min(text.find("\r\n", at), text.size());
            object["first_lines"].push_back(BytesAsLatin1(text.substr(at, end - at)));
            shown += EscapeControlBytes(text.substr(at, end - at)) + (line + 1 < lines ? "\n" : "");
            at = end + 2;
        }
        c_.emit(object, shown);
    }

    // The default notebook keeps its temperatures whatever the fans do, so
    // the tour gives it the heating of tests/profiles/thermal_heat_step.json,
    // its load step brought forward to the first minute.
    void fanLoop()
    {
        Transport& transport = *c_.transport;
        const double start = static_cast<double>(transport.simulatedClockMs()) / 1000;
        const json thermal{
            {"ambient_celsius", 25},
            {"sensors",
             {{{"heat_per_load", 73}, {"cooling_per_level", 9}, {"time_constant_s", 60}},
              {{"heat_per_load", 55}, {"cooling_per_level", 7}, {"time_constant_s", 90}},
              {{"heat_per_load", 25}, {"cooling_per_level", 2}, {"time_constant_s", 300}}}},
            {"schedule", {{{"at_s", start}, {"load", 0.2}}, {{"at_s", start + kHeatStepSeconds}, {"load", 1.0}}}}};
        heading("the fan loop (zerloctl auto), " + std::to_string(kLoopMinutes) +
                " simulated minutes with the example configuration");
        if (!transport.heatSimulatedMachine(thermal.dump())) {
            say("This machine has not the default notebook's sensors: the tour cannot make it heat.");
            return;
        }
        say("The tour makes this notebook heat: sensors 0 to 2 now follow a simulated load,\n"
            "light, then full from the first minute. Each line is a change the loop made.");
        const AutoConfig config = ParseAutoConfig(json::parse(ExampleAutoConfig()));
        const std::unique_ptr<LoopClock> clock = MakeLoopClock(transport, 0);
        DriverFanIo io(transport);
        FanLoop loop(config, io, *clock, [this](const LoopEvent& event) {
            if (c_.asJson)
                std::cout << FormatLoopEventJson(event) << "\n";
            else
                std::cout << FormatLoopEvent(event) << "\n";
        });
        const std::atomic<int> running{0};
        const double end = clock->now() + kLoopMinutes * 60;
        while (clock->now() < end) {
            if (!loop.poll()) count(kRefusedOrFailed);
            clock->sleep(config.pollSeconds, running);
        }
    }

    Context& c_;
    int exit_ = kOk;
};

} // namespace

void AddTourCommand(Cli& cli)
{
    cli.command("tour", "a guided look at what the driver answers",
                [](CLI::App&) { return Step{[](Context& c) { return Tour(c).run(); }}; });
}

} // namespace zerloctl
