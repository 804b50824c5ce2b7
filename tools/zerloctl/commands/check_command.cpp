#include "commands/check_command.h"

#include "loop/auto_config.h"
#include "loop/presets.h"
#include "requests/firmware_text.h"
#include "requests/requests.h"
#include "requests/status_names.h"
#include "sample/fan_states.h"
#include "sample/sample.h"

#include "frame/zerlo_ioctl.h"

#include <iostream>
#include <optional>
#include <stdexcept>

namespace zerloctl {
namespace {

using nlohmann::json;

// A refusal, a failed firmware call and a reply cut short are all no answer:
// the check reports what the notebook gives, and goes on.
std::optional<uint32_t> Ask(Transport& transport, uint32_t code, uint16_t argument = 0)
{
    try {
        const ValueResult result = RequestValue(transport, code, argument);
        if (result.refused || result.value == ZERLO_FAILURE) return std::nullopt;
        return result.value;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

std::optional<std::string> AskText(Transport& transport, uint32_t code)
{
    try {
        const Reply reply = Request(transport, code);
        if (reply.status != Status("STATUS_SUCCESS")) return std::nullopt;
        return ReplyText(reply);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

struct FanAnswer {
    uint16_t fan = 0;
    std::optional<uint32_t> state, rpm;
    bool found() const { return state && *state <= ZERLO_MAX_FAN_STATE; }
};

struct SensorAnswer {
    uint16_t sensor = 0;
    std::optional<uint32_t> reading;
    // A failed call, 0 and anything above what the fan loop believes (255
    // is what a missing sensor's register reads on many boards) are not
    // temperatures.
    bool plausible() const { return reading && *reading != 0 && *reading <= kHighestBelievableReading; }
};

struct SmmAnswers {
    std::vector<FanAnswer> fans;
    std::vector<SensorAnswer> sensors;
};

SmmAnswers AskSmm(Transport& transport)
{
    SmmAnswers answers;
    for (uint16_t fan = 0; fan <= ZERLO_MAX_FAN; ++fan)
        answers.fans.push_back(
            {fan, Ask(transport, IOCTL_SMM_GET_FAN_STATE, fan), Ask(transport, IOCTL_SMM_GET_FAN_SPEED, fan)});
    for (uint16_t sensor = 0; sensor < kCheckedSensors; ++sensor)
        answers.sensors.push_back({sensor, Ask(transport, IOCTL_SMM_GET_TEMPERATURE, sensor)});
    return answers;
}

FanLoopParts Judge(const SmmAnswers& answers)
{
    FanLoopParts parts;
    bool answered = false;
    for (const FanAnswer& fan : answers.fans) {
        if (fan.found()) parts.fans.push_back(fan.fan);
        answered = answered || fan.state || fan.rpm;
    }
    for (const SensorAnswer& sensor : answers.sensors) {
        if (sensor.plausible()) parts.sensors.push_back(sensor.sensor);
        answered = answered || sensor.reading;
    }
    if (!answered)
        parts.unusable = "the BIOS does not answer its fan and temperature calls";
    else if (parts.fans.empty())
        parts.unusable = "no fan answers the BIOS's fan-state call";
    else if (parts.sensors.empty())
        parts.unusable = "no sensor of 0 to " + std::to_string(kCheckedSensors - 1) + " gives a plausible reading";
    return parts;
}

std::string FanLine(const FanAnswer& fan)
{
    std::string text = "fan " + std::to_string(fan.fan) + ": ";
    if (!fan.state) return text + "no answer";
    text += fan.found() ? FanStateName(*fan.state) : "state " + std::to_string(*fan.state) + ", not off, low or high";
    return text + ", " + (fan.rpm ? std::to_string(*fan.rpm) + " rpm" : "speed call failed");
}

// Consecutive sensors with the same reading are one item: "4 to 15 (failed)".
std::string SensorItems(const std::vector<SensorAnswer>& sensors, bool plausible)
{
    std::string text;
    for (size_t i = 0; i < sensors.size();) {
        if (sensors[i].plausible() != plausible) {
            ++i;
            continue;
        }
        size_t last = i;
        while (!plausible && last + 1 < sensors.size() && !sensors[last + 1].plausible() &&
               sensors[last + 1].reading == sensors[i].reading)
            ++last;
        text += (text.empty() ? "" : ", ") + std::to_string(sensors[i].sensor);
        if (last > i) text += " to " + std::to_string(sensors[last].sensor);
        text += " (" + (sensors[i].reading ? std::to_string(*sensors[i].reading) + " C" : std::string("failed")) + ")";
        i = last + 1;
    }
    return text.empty() ? "none" : text;
}

// The first "Product name" of the SMBIOS report is the system's (type 1).
std::optional<std::string> ProductName(const std::optional<std::string>& report)
{
    const std::string key = "Product name: ";
    const size_t at = report ? report->find(key) : std::string::npos;
    if (at == std::string::npos) return std::nullopt;
    const size_t start = at + key.size();
    return report->substr(start, report->find("\r\n", start) - start);
}

// The tables the survey found: one line each.
size_t AcpiTables(const std::string& report)
{
    size_t count = 0;
    for (size_t at = report.find("Table found at PA"); at != std::string::npos;
         at = report.find("Table found at PA", at + 1))
        ++count;
    return count;
}

json Numbers(const std::vector<uint16_t>& numbers)
{
    json list = json::array();
    for (uint16_t number : numbers)
        list.push_back(number);
    return list;
}

int RunCheck(Context& c)
{
    Transport& transport = *c.transport;
    json object{{"command", "check"}, {"fans", json::array()}, {"sensors", json::array()}};
    std::string text;

    const Reply version = Request(transport, IOCTL_GET_VERSION);
    if (version.status == Status("STATUS_SUCCESS") && version.bytes.size() >= 8) {
        const std::string shown =
            std::to_string(ReplyWord(version.bytes, 0)) + "." + std::to_string(ReplyWord(version.bytes, 4));
        object["driver_version"] = shown;
        text += "driver version: " + shown + "\n";
    } else {
        object["driver_version"] = nullptr;
        text += "driver version: request failed\n";
    }

    const SmmAnswers answers = AskSmm(transport);
    text += "BIOS fan calls:\n";
    for (const FanAnswer& fan : answers.fans) {
        json entry{{"fan", fan.fan}, {"found", fan.found()}};
        if (fan.state) entry["state"] = *fan.state;
        if (fan.rpm) entry["rpm"] = *fan.rpm;
        object["fans"].push_back(entry);
        text += "  " + FanLine(fan) + "\n";
    }
    text += "BIOS temperature calls, sensors 0 to " + std::to_string(kCheckedSensors - 1) + ":\n";
    text += "  plausible: " + SensorItems(answers.sensors, true) + "\n";
    text += "  not plausible: " + SensorItems(answers.sensors, false) + "\n";
    for (const SensorAnswer& sensor : answers.sensors) {
        json entry{{"sensor", sensor.sensor}, {"plausible", sensor.plausible()}};
        if (sensor.reading) entry[kCelsiusField] = *sensor.reading;
        object["sensors"].push_back(entry);
    }

    // The detection answers ZERLO_TRUE, which is ZERLO_FAILURE's value.
    bool chip = false;
    try {
        const ValueResult detected = RequestValue(transport, IOCTL_SIO_DETECT);
        chip = !detected.refused && detected.value == ZERLO_TRUE;
    } catch (const std::runtime_error&) {
    }
    object["superio_found"] = chip;
    text += std::string("Super-I/O chip: ") + (chip ? "found" : "not found at 0x2E or 0x4E") + "\n";

    // The driver says "---" when the SMBIOS table has no processor.
    const std::optional<std::string> speed = AskText(transport, IOCTL_GET_CPU_SPEED);
    const bool speedKnown = speed && !speed->empty() && speed->find_first_not_of("0123456789") == std::string::npos;
    object["cpu_mhz"] = speedKnown ? json(std::stoul(*speed)) : json(nullptr);
    text += "CPU speed: " + (speedKnown ? *speed + " MHz" : std::string("not known")) + "\n";

    const std::optional<std::string> product = ProductName(AskText(transport, IOCTL_GET_SMBIOS_REPORT));
    object["product_name"] = product ? json(BytesAsLatin1(*product)) : json(nullptr);
    text += "SMBIOS product name: " + (product ? EscapeControlBytes(*product) : std::string("not found")) + "\n";

    const std::optional<std::string> survey = AskText(transport, IOCTL_GET_ACPI_REPORT);
    const size_t tables = survey ? AcpiTables(*survey) : 0;
    object["acpi_tables"] = tables;
    text += "ACPI tables: " + (tables ? std::to_string(tables) + " found" : std::string("none found")) + "\n";

    const FanLoopParts parts = Judge(answers);
    object["usable"] = parts.unusable.empty();
    object["fans_found"] = Numbers(parts.fans);
    object["sensors_found"] = Numbers(parts.sensors);
    if (parts.unusable.empty()) {
        text += "verdict: the fan loop can be used, with fan" + std::string(parts.fans.size() > 1 ? "s " : " ") +
                ListInWords(parts.fans) + " and sensor" + (parts.sensors.size() > 1 ? "s " : " ") +
                ListInWords(parts.sensors);
    } else {
        object["reason"] = parts.unusable;
        text += "verdict: the fan loop cannot be used: " + parts.unusable;
    }
    c.emit(object, text);
    return parts.unusable.empty() ? kOk : kRefusedOrFailed;
}

} // namespace

FanLoopParts FindFanLoopParts(Transport& transport)
{
    return Judge(AskSmm(transport));
}

std::optional<std::string> PresetForNotebook(Transport& transport, const std::string& preset)
{
    const FanLoopParts parts = FindFanLoopParts(transport);
    if (!parts.unusable.empty()) {
        std::cerr << "zerloctl: preset " << preset << ": the fan loop cannot be used: " << parts.unusable << "\n";
        return std::nullopt;
    }
    return PresetConfig(preset, parts.fans, parts.sensors);
}

std::string ListInWords(const std::vector<uint16_t>& numbers)
{
    std::string text;
    for (size_t i = 0; i < numbers.size(); ++i)
        text += (i == 0 ? "" : i + 1 == numbers.size() ? " and " : ", ") + std::to_string(numbers[i]);
    return text;
}

void AddCheckCommand(Cli& cli)
{
    cli.command("check", "does this notebook answer Zerlo? every question once, no fan moved",
                [](CLI::App&) { return Step{RunCheck}; });
}

} // namespace zerloctl
