// The driver's requests as commands: one row each says the command's name,
// its control code, the reply's JSON field and its text. The rows drive the
// command line, the request built and both outputs; which argument words a
// request takes, and the input and reply sizes, come from the driver's own
// request table.
#include "commands/request_commands.h"

#include "requests/firmware_text.h"
#include "requests/requests.h"
#include "requests/status_names.h"
#include "sample/fan_states.h"
#include "sample/sample.h"

#include "frame/zerlo_ioctl.h"

#include <array>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace zerloctl {
namespace {

using nlohmann::json;
using Words = std::array<uint16_t, 2>;

struct Argument {
    const char* name; // on the command line
    const char* noun; // in the output and as the JSON field
    uint16_t max;     // the driver accepts 0 to max
    const char* help;
};

constexpr Argument kFan{"FAN", "fan", ZERLO_MAX_FAN, "fan number, 0 or 1"};
constexpr Argument kState{"STATE", "state", ZERLO_MAX_FAN_STATE, "0 off, 1 low, 2 high"};
constexpr Argument kSensor{"SENSOR", "sensor", ZERLO_MAX_SENSOR, "sensor number, 0 to 255"};
constexpr Argument kLevel{"LEVEL", "level", ZERLO_MAX_SIO_LEVEL, "level, 0 to 63"};

using Arguments = std::array<const Argument*, 2>;

// The words a request reads, as the contract's table names them.
Arguments ArgumentsOf(uint32_t code)
{
    const ZerloRequestInfo* request = ZerloFindRequest(code);
    if (request == nullptr) throw std::logic_error("request command for a code outside the driver's table");
    switch (request->arguments) {
    case ZERLO_ARGS_FAN: return {&kFan, nullptr};
    case ZERLO_ARGS_FAN_STATE: return {&kFan, &kState};
    case ZERLO_ARGS_FAN_LEVEL: return {&kFan, &kLevel};
    case ZERLO_ARGS_SENSOR: return {&kSensor, nullptr};
    case ZERLO_ARGS_NONE: break;
    }
    return {};
}

enum class ReplyKind {
    kValue,   // a reading, or ZERLO_FAILURE
    kDone,    // 0, or ZERLO_FAILURE
    kTruth,   // ZERLO_TRUE, or false: the JSON field is a boolean
    kVersion, // major, minor
    kText,    // a text up to its NUL; firmware strings in it may hold any byte
};

// A row's texts: {0} and {1} stand for the arguments, {v} for the reply's
// value; ":state" shows a number as a fan state's name.
struct Row {
    const char* name;
    const char* help;
    uint32_t code;
    ReplyKind reply;
    const char* field;   // the reply's JSON field
    const char* success; // the text of a reply that is no failure
    const char* failure; // what failed, or the whole text of a false truth
    Arguments arguments() const { return ArgumentsOf(code); }
};

// A row per command keeps the table readable as one.
// clang-format off
const Row kRows[] = {
    {"version", "driver version", IOCTL_GET_VERSION, ReplyKind::kVersion, "", "", ""},
    {"fan-state", "read a fan's state (SMM)", IOCTL_SMM_GET_FAN_STATE, ReplyKind::kValue,
     "state", "fan {0}: state {v} ({v:state})", "fan {0} state"},
    {"set-fan-state", "set a fan's state (SMM): 0 off, 1 low, 2 high", IOCTL_SMM_SET_FAN_STATE,
     ReplyKind::kDone, "", "fan {0}: state set to {1} ({1:state})", "fan {0} set state"},
    {"fan-speed", "read a fan's speed in rpm (SMM)", IOCTL_SMM_GET_FAN_SPEED, ReplyKind::kValue,
     "rpm", "fan {0}: {v} rpm", "fan {0} speed"},
    {"temperature", "read a temperature sensor (SMM)", IOCTL_SMM_GET_TEMPERATURE, ReplyKind::kValue,
     kCelsiusField, "sensor {0}: {v}", "sensor {0}"},
    {"cpu-speed", "processor speed in MHz (SMBIOS)", IOCTL_GET_CPU_SPEED, ReplyKind::kText, "text", "", ""},
    {"smbios", "SMBIOS inventory report", IOCTL_GET_SMBIOS_REPORT, ReplyKind::kText, "text", "", ""},
    {"acpi", "ACPI table survey", IOCTL_GET_ACPI_REPORT, ReplyKind::kText, "text", "", ""},
    {"sio-detect", "detect the Super-I/O fan controller", IOCTL_SIO_DETECT, ReplyKind::kTruth,
     "found", "Super-I/O chip found", "no Super-I/O chip found at 0x2E or 0x4E"},
    {"sio-level", "read a fan's level from the Super-I/O chip", IOCTL_SIO_GET_FAN_LEVEL, ReplyKind::kValue,
     "level", "{v}", "fan {0} level (no Super-I/O chip)"},
    {"set-sio-level", "set a fan's level in the Super-I/O chip, 0 to 63", IOCTL_SIO_SET_FAN_LEVEL,
     ReplyKind::kTruth, "ok", "fan {0}: level set to {1}", "fan {0}: level not accepted by the chip"},
};
// clang-format on

std::string N(uint32_t value)
{
    return std::to_string(value);
}

std::string Fill(const char* text, const Words& words, uint32_t value)
{
    std::string out;
    for (const char* p = text; *p != '\0';) {
        const char* end = *p == '{' ? std::strchr(p, '}') : nullptr;
        if (!end) {
            out += *p++;
            continue;
        }
        const std::string key(p + 1, end);
        const uint32_t number = key[0] == 'v' ? value : words[key[0] == '1'];
        out += key.ends_with(":state") ? FanStateName(number) : N(number);
        p = end + 1;
    }
    return out;
}

// "fan 0, level 64": what was asked, named as the user gave it.
std::string Asked(const Row& row, const Words& words)
{
    std::string text;
    for (size_t i = 0; i < Words{}.size() && row.arguments()[i]; ++i)
        text += (i ? ", " : "") + std::string(row.arguments()[i]->noun) + " " + N(words[i]);
    return text.empty() ? row.name : text;
}

// Why the driver refused, where the table knows: "fans are 0 and 1".
std::string Hint(const Row& row, const Words& words, uint32_t status)
{
    if (status == Status("STATUS_ACCESS_DENIED")) return "; every request needs a handle open for writing";
    if (status != Status("STATUS_INVALID_PARAMETER")) return "";
    for (size_t i = 0; i < Words{}.size() && row.arguments()[i]; ++i) {
        const Argument& argument = *row.arguments()[i];
        if (words[i] > argument.max)
            return "; " + std::string(argument.noun) + "s are 0 " + (argument.max == 1 ? "and " : "to ") +
                   N(argument.max);
    }
    return "";
}

int Refused(Context& c, const Row& row, const Words& words, json object, uint32_t status)
{
    object["status"] = status;
    object["status_name"] = StatusName(status) ? StatusName(status) : "";
    // The I/O manager checks a handle's access before the driver sees the request.
    const char* by = status == Status("STATUS_ACCESS_DENIED") ? "the I/O manager" : "the driver";
    c.emit(object, Asked(row, words) + ": refused by " + by + ": " + DescribeStatus(status) + Hint(row, words, status));
    return kRefusedOrFailed;
}

int Run(Context& c, const Row& row, const Words& words)
{
    json object{{"command", row.name}};
    for (size_t i = 0; i < Words{}.size() && row.arguments()[i]; ++i)
        object[row.arguments()[i]->noun] = words[i];
    const Reply reply = Request(*c.transport, row.code, words[0], words[1]);
    if (reply.status != Status("STATUS_SUCCESS")) return Refused(c, row, words, object, reply.status);

    switch (row.reply) {
    case ReplyKind::kVersion: {
        const uint32_t major = ReplyWord(reply.bytes, 0), minor = ReplyWord(reply.bytes, 4);
        object["major"] = major;
        object["minor"] = minor;
        c.emit(object, N(major) + "." + N(minor));
        return kOk;
    }
    case ReplyKind::kText: {
        const std::string text = ReplyText(reply);
        object["text"] = BytesAsLatin1(text);
        object["information"] = reply.information;
        if (c.asJson) {
            c.emit(object, "");
            return kOk;
        }
        const std::string shown = EscapeControlBytes(text);
        std::cout << shown << (shown.empty() || shown.back() != '\n' ? "\n" : "");
        return kOk;
    }
    default: break;
    }
    const uint32_t value = ReplyWord(reply.bytes, 0);
    if (row.reply == ReplyKind::kTruth) {
        object[row.field] = value == ZERLO_TRUE;
        const bool truth = value == ZERLO_TRUE;
        c.emit(object, Fill(truth ? row.success : row.failure, words, value));
        return truth ? kOk : kRefusedOrFailed;
    }
    if (value == ZERLO_FAILURE) {
        object["error"] = "firmware call failed";
        c.emit(object, Fill(row.failure, words, value) + ": firmware call failed");
        return kRefusedOrFailed;
    }
    if (*row.field) object[row.field] = value;
    c.emit(object, Fill(row.success, words, value));
    return kOk;
}

} // namespace

void AddRequestCommands(Cli& cli)
{
    for (const Row& row : kRows) {
        CLI::App* command = cli.command(row.name, row.help, [&row](CLI::App& used) {
            Words words{};
            for (size_t i = 0; i < Words{}.size() && row.arguments()[i]; ++i)
                words[i] = used.get_option(row.arguments()[i]->name)->as<uint16_t>();
            return Step{[&row, words](Context& c) { return Run(c, row, words); }};
        });
        for (const Argument* argument : row.arguments()) {
            // The whole 16-bit word is sent: the driver, not the client, judges the range.
            if (argument) command->add_option(argument->name, argument->help)->required()->check(CLI::Range(0, 65535));
        }
    }
}

int RunRequestCommand(Context& c, const std::string& name, uint16_t word0, uint16_t word1)
{
    for (const Row& row : kRows) {
        if (name == row.name) return Run(c, row, {word0, word1});
    }
    throw std::logic_error("no request command " + name);
}

} // namespace zerloctl
