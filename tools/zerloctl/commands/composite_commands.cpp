#include "commands/composite_commands.h"

#include "requests/requests.h"
#include "requests/status_names.h"
#include "sample/fan_states.h"
#include "sample/take_sample.h"

#include "frame/zerlo_ioctl.h"

#include <cstdio>

namespace zerloctl {
namespace {

using nlohmann::json;

int RawIoctl(Context& c, uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength)
{
    const Reply reply = c.transport->ioctl(code, input, outputLength);
    json object{{"command", "ioctl"},
                {"code", code},
                {"status", reply.status},
                {"status_name", StatusName(reply.status) ? StatusName(reply.status) : ""},
                {"information", reply.information},
                {"reply", HexBytes(reply.bytes)}};
    if (reply.win32Error) object["win32_error"] = reply.win32Error;
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, "0x%08X", code);
    c.emit(object, std::string("code: ") + codeText + "\nstatus: " + DescribeStatus(reply.status) +
                       "\ninformation: " + std::to_string(reply.information) + "\nreply: " + HexBytes(reply.bytes));
    return reply.status == Status("STATUS_SUCCESS") ? kOk : kRefusedOrFailed;
}

// More handles held open beside the first, each asked for the version
// before any of them is closed.
int Handles(Context& c, unsigned count)
{
    const ZerloRequestInfo& version = *ZerloFindRequest(IOCTL_GET_VERSION);
    const std::vector<Reply> replies = c.transport->ioctlOnNewHandles(count, version.code, {}, version.minimumOutput);
    json object{{"command", "handles"}, {"handles", count}, {"replies", json::array()}};
    unsigned answered = 0;
    int exit = kOk;
    for (const Reply& reply : replies) {
        json entry{{"status", reply.status}, {"information", reply.information}, {"reply", HexBytes(reply.bytes)}};
        if (reply.win32Error) entry["win32_error"] = reply.win32Error;
        object["replies"].push_back(entry);
        if (reply.status == Status("STATUS_SUCCESS"))
            ++answered;
        else
            exit = kRefusedOrFailed;
    }
    c.emit(object, std::to_string(count) + " more handles open at once, " + std::to_string(answered) +
                       " answered the version request");
    return exit;
}

uint32_t ParseCode(const std::string& text)
{
    size_t used = 0;
    unsigned long code = 0;
    try {
        code = std::stoul(text, &used, 0);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || code > 0xFFFFFFFFul) throw CLI::ValidationError("CODE", "not a 32-bit number: " + text);
    return static_cast<uint32_t>(code);
}

} // namespace

// The Super-I/O levels only on request: reading them probes for the chip
// while none is known. Its readings are a sample's, in the sample's JSON.
int ShowStatus(Context& c, uint16_t sensors, bool sio)
{
    const Sample sample = ReadSample(*c.transport, {.sensors = sensors, .sio = sio});
    const json whole = SampleJson(sample);
    json object{{"command", "status"}, {"fans", whole["fans"]}, {"sensors", whole["sensors"]}};
    if (sio) object["sio_levels"] = whole["sio_levels"];
    std::string text;
    bool answered = true;
    const auto line = [&](const std::string& label, size_t number, const std::string& shown, bool read) {
        text += label + " " + std::to_string(number) + ": " + shown + "\n";
        answered = answered && read;
    };
    for (size_t fan = 0; fan < sample.fans.size(); ++fan) {
        const FanReading& f = sample.fans[fan];
        line("fan", fan, f.state ? FanStateName(*f.state) + ", " + std::to_string(*f.rpm) + " rpm" : f.error,
             f.state.has_value());
    }
    for (size_t sensor = 0; sensor < sample.sensors.size(); ++sensor) {
        const Reading& r = sample.sensors[sensor];
        line("sensor", sensor, r.value ? std::to_string(*r.value) : r.error, r.value.has_value());
    }
    for (size_t fan = 0; fan < sample.sioLevels.size(); ++fan) {
        const Reading& r = sample.sioLevels[fan];
        line("sio fan", fan, r.value ? "level " + std::to_string(*r.value) : r.error, r.value.has_value());
    }
    text.pop_back();
    c.emit(object, text);
    return answered ? kOk : kRefusedOrFailed;
}

void AddCompositeCommands(Cli& cli)
{
    CLI::App* status = cli.command("status", "fans and sensors at a glance", [](CLI::App& used) {
        const CLI::Option* sensors = used.get_option("--sensors");
        const uint16_t n = sensors->count() ? sensors->as<uint16_t>() : 4;
        const bool sio = used.get_option("--sio")->count() > 0;
        return Step{[n, sio](Context& c) { return ShowStatus(c, n, sio); }};
    });
    status->add_option("--sensors", "how many sensors to read, from 0 (default 4)")
        ->type_name("N")
        ->check(CLI::Range(0, 256));
    status->add_flag("--sio")->description("also read both fans' Super-I/O levels");

    const char* ioctlHelp = "send any control request and show status, returned length and reply";
    CLI::App* ioctl = cli.command("ioctl", ioctlHelp, [](CLI::App& used) {
        const uint32_t code = ParseCode(used.get_option("CODE")->as<std::string>());
        const CLI::Option* in = used.get_option("--in");
        const CLI::Option* outLen = used.get_option("--out-len");
        // Bad hex is refused before anything is sent.
        const std::vector<uint8_t> input = ParseHexBytes(in->count() ? in->as<std::string>() : "");
        const uint32_t length = outLen->count() ? outLen->as<uint32_t>() : 0;
        return Step{[code, input, length](Context& c) { return RawIoctl(c, code, input, length); }};
    });
    ioctl->add_option("CODE", "control code, for example 0x9C40A444")->required();
    ioctl->add_option("--in", "input bytes in hex")->type_name("HEX");
    ioctl->add_option("--out-len", "output buffer length")->type_name("N")->check(CLI::Range(0u, 1u << 24));

    const char* handlesHelp = "open N more handles at once, ask each for the version, close them";
    CLI::App* handles = cli.command("handles", handlesHelp, [](CLI::App& used) {
        const unsigned n = used.get_option("N")->as<unsigned>();
        return Step{[n](Context& c) { return Handles(c, n); }};
    });
    handles->add_option("N", "how many handles, 1 to 64")->required()->check(CLI::Range(1u, 64u));
}

} // namespace zerloctl
