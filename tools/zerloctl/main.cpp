// zerloctl: the user-mode caller of zerlo. Every command sends exactly the
// requests it names; several commands may follow one another on one line
// and then share one open device (and, on Linux, one simulated machine).
#include "loop_commands.h"
#include "requests.h"
#include "transport.h"

#include "frame/zerlo_ioctl.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <nlohmann/json.hpp>

#if defined(_WIN32)
#include "win_service.h"
#else
#include <cerrno>
#endif

namespace zerloctl {
namespace {

using nlohmann::json;

enum Exit { kOk = 0, kRefusedOrFailed = 1, kUsage = 2, kNoDriver = 3 };

struct Context {
    Transport* transport = nullptr;
    bool asJson = false;
    int exit = kOk;

    void emit(const json& object, const std::string& text)
    {
        if (asJson)
            std::cout << object.dump() << "\n";
        else
            std::cout << text << "\n";
    }
    // A refusal: the status by name, and a nonzero exit.
    void refused(json object, uint32_t status)
    {
        object["status"] = status;
        object["status_name"] = StatusName(status) ? StatusName(status) : "";
        emit(object, object["command"].get<std::string>() + ": refused: " + DescribeStatus(status));
        exit = kRefusedOrFailed;
    }
    void firmwareFailed(json object, const std::string& what)
    {
        object["error"] = "firmware call failed";
        emit(object, what + ": firmware call failed");
        exit = kRefusedOrFailed;
    }
};

const char* FanStateName(uint32_t state)
{
    switch (state) {
    case 0: return "off";
    case 1: return "low";
    case 2: return "high";
    default: return "unknown";
    }
}

void Version(Context& c)
{
    const Reply reply = c.transport->ioctl(IOCTL_GET_VERSION, {}, sizeof(ZerloVersion));
    json object{{"command", "version"}};
    if (reply.status != ZERLO_STATUS_SUCCESS) return c.refused(object, reply.status);
    if (reply.bytes.size() < 8) throw std::runtime_error("version reply too short");
    auto word = [&](size_t at) {
        return uint32_t{reply.bytes[at]} | uint32_t{reply.bytes[at + 1]} << 8 | uint32_t{reply.bytes[at + 2]} << 16 |
               uint32_t{reply.bytes[at + 3]} << 24;
    };
    object["major"] = word(0);
    object["minor"] = word(4);
    c.emit(object, std::to_string(word(0)) + "." + std::to_string(word(4)));
}

void FanState(Context& c, uint16_t fan)
{
    json object{{"command", "fan-state"}, {"fan", fan}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SMM_GET_FAN_STATE, fan);
    if (r.refused) return c.refused(object, r.refused->status);
    if (r.value == ZERLO_FAILURE) return c.firmwareFailed(object, "fan " + std::to_string(fan) + " state");
    object["state"] = r.value;
    c.emit(object,
           "fan " + std::to_string(fan) + ": state " + std::to_string(r.value) + " (" + FanStateName(r.value) + ")");
}

void SetFanState(Context& c, uint16_t fan, uint16_t state)
{
    json object{{"command", "set-fan-state"}, {"fan", fan}, {"state", state}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SMM_SET_FAN_STATE, fan, state);
    if (r.refused) return c.refused(object, r.refused->status);
    if (r.value == ZERLO_FAILURE) return c.firmwareFailed(object, "fan " + std::to_string(fan) + " set state");
    c.emit(object,
           "fan " + std::to_string(fan) + ": state set to " + std::to_string(state) + " (" + FanStateName(state) + ")");
}

void FanSpeed(Context& c, uint16_t fan)
{
    json object{{"command", "fan-speed"}, {"fan", fan}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SMM_GET_FAN_SPEED, fan);
    if (r.refused) return c.refused(object, r.refused->status);
    if (r.value == ZERLO_FAILURE) return c.firmwareFailed(object, "fan " + std::to_string(fan) + " speed");
    object["rpm"] = r.value;
    c.emit(object, "fan " + std::to_string(fan) + ": " + std::to_string(r.value) + " rpm");
}

void Temperature(Context& c, uint16_t sensor)
{
    json object{{"command", "temperature"}, {"sensor", sensor}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SMM_GET_TEMPERATURE, sensor);
    if (r.refused) return c.refused(object, r.refused->status);
    if (r.value == ZERLO_FAILURE) return c.firmwareFailed(object, "sensor " + std::to_string(sensor));
    object["reading"] = r.value;
    c.emit(object, "sensor " + std::to_string(sensor) + ": " + std::to_string(r.value));
}

void Text(Context& c, const char* command, uint32_t code, uint32_t size)
{
    json object{{"command", command}};
    const TextResult r = RequestText(*c.transport, code, size);
    if (r.refused) return c.refused(object, r.refused->status);
    object["text"] = r.text;
    object["information"] = r.information;
    if (c.asJson)
        c.emit(object, "");
    else
        std::cout << r.text << (r.text.empty() || r.text.back() != '\n' ? "\n" : "");
}

void SioDetect(Context& c)
{
    json object{{"command", "sio-detect"}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SIO_DETECT);
    if (r.refused) return c.refused(object, r.refused->status);
    object["found"] = r.value == ZERLO_TRUE;
    if (r.value != ZERLO_TRUE) {
        c.exit = kRefusedOrFailed;
        return c.emit(object, "no Super-I/O chip found at 0x2E or 0x4E");
    }
    c.emit(object, "Super-I/O chip found");
}

void SioLevel(Context& c, uint16_t fan)
{
    json object{{"command", "sio-level"}, {"fan", fan}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SIO_GET_FAN_LEVEL, fan);
    if (r.refused) return c.refused(object, r.refused->status);
    if (r.value == ZERLO_FAILURE)
        return c.firmwareFailed(object, "fan " + std::to_string(fan) + " level (no Super-I/O chip)");
    object["level"] = r.value;
    c.emit(object, std::to_string(r.value));
}

void SetSioLevel(Context& c, uint16_t fan, uint16_t level)
{
    json object{{"command", "set-sio-level"}, {"fan", fan}, {"level", level}};
    const ValueResult r = RequestValue(*c.transport, IOCTL_SIO_SET_FAN_LEVEL, fan, level);
    if (r.refused) return c.refused(object, r.refused->status);
    object["ok"] = r.value == ZERLO_TRUE;
    if (r.value != ZERLO_TRUE) {
        c.exit = kRefusedOrFailed;
        return c.emit(object, "fan " + std::to_string(fan) + ": level not accepted by the chip");
    }
    c.emit(object, "fan " + std::to_string(fan) + ": level set to " + std::to_string(level));
}

void RawIoctl(Context& c, uint32_t code, const std::string& hexInput, uint32_t outputLength)
{
    const Reply reply = c.transport->ioctl(code, ParseHexBytes(hexInput), outputLength);
    json object{{"command", "ioctl"},
                {"code", code},
                {"status", reply.status},
                {"status_name", StatusName(reply.status) ? StatusName(reply.status) : ""},
                {"information", reply.information},
                {"reply", HexBytes(reply.bytes)}};
    if (reply.win32Error) object["win32_error"] = reply.win32Error;
    char code_text[16];
    std::snprintf(code_text, sizeof code_text, "0x%08X", code);
    c.emit(object, std::string("code: ") + code_text + "\nstatus: " + DescribeStatus(reply.status) +
                       "\ninformation: " + std::to_string(reply.information) + "\nreply: " + HexBytes(reply.bytes));
    if (reply.status != ZERLO_STATUS_SUCCESS) c.exit = kRefusedOrFailed;
}

// Several callers at once: more handles held open beside the first, each
// asked for the version before any of them is closed.
void Handles(Context& c, unsigned count)
{
    const std::vector<Reply> replies =
        c.transport->ioctlOnNewHandles(count, IOCTL_GET_VERSION, {}, sizeof(ZerloVersion));
    json object{{"command", "handles"}, {"handles", count}, {"replies", json::array()}};
    unsigned answered = 0;
    for (const Reply& reply : replies) {
        json entry{{"status", reply.status}, {"information", reply.information}, {"reply", HexBytes(reply.bytes)}};
        if (reply.win32Error) entry["win32_error"] = reply.win32Error;
        object["replies"].push_back(entry);
        if (reply.status == ZERLO_STATUS_SUCCESS)
            ++answered;
        else
            c.exit = kRefusedOrFailed;
    }
    c.emit(object, std::to_string(count) + " more handles open at once, " + std::to_string(answered) +
                       " answered the version request");
}

// What a fan-control utility polls each second. The Super-I/O levels only
// on request: reading them probes for the chip while none is known.
void Status(Context& c, uint16_t sensors, bool sio = false)
{
    json object{{"command", "status"}};
    std::string text;
    for (uint16_t fan = 0; fan <= ZERLO_MAX_FAN; ++fan) {
        const ValueResult state = RequestValue(*c.transport, IOCTL_SMM_GET_FAN_STATE, fan);
        const ValueResult speed = RequestValue(*c.transport, IOCTL_SMM_GET_FAN_SPEED, fan);
        json entry{{"fan", fan}};
        std::string line = "fan " + std::to_string(fan) + ": ";
        if (state.refused || speed.refused || state.value == ZERLO_FAILURE || speed.value == ZERLO_FAILURE) {
            entry["error"] = "firmware call failed";
            line += "firmware call failed";
            c.exit = kRefusedOrFailed;
        } else {
            entry["state"] = state.value;
            entry["rpm"] = speed.value;
            line += std::string(FanStateName(state.value)) + ", " + std::to_string(speed.value) + " rpm";
        }
        object["fans"].push_back(entry);
        text += line + "\n";
    }
    for (uint16_t sensor = 0; sensor < sensors; ++sensor) {
        const ValueResult t = RequestValue(*c.transport, IOCTL_SMM_GET_TEMPERATURE, sensor);
        json entry{{"sensor", sensor}};
        std::string line = "sensor " + std::to_string(sensor) + ": ";
        if (t.refused || t.value == ZERLO_FAILURE) {
            entry["error"] = "firmware call failed";
            line += "firmware call failed";
            c.exit = kRefusedOrFailed;
        } else {
            entry["reading"] = t.value;
            line += std::to_string(t.value);
        }
        object["sensors"].push_back(entry);
        text += line + "\n";
    }
    for (uint16_t fan = 0; sio && fan <= ZERLO_MAX_FAN; ++fan) {
        const ValueResult level = RequestValue(*c.transport, IOCTL_SIO_GET_FAN_LEVEL, fan);
        json entry{{"fan", fan}};
        std::string line = "sio fan " + std::to_string(fan) + ": ";
        if (level.refused || level.value == ZERLO_FAILURE) {
            entry["error"] = "no Super-I/O chip";
            line += "no Super-I/O chip";
            c.exit = kRefusedOrFailed;
        } else {
            entry["level"] = level.value;
            line += "level " + std::to_string(level.value);
        }
        object["sio_levels"].push_back(entry);
        text += line + "\n";
    }
    text.pop_back();
    c.emit(object, text);
}

// A short guided run of what the driver answers, for a first look.
void Tour(Context& c)
{
    const bool quiet = c.asJson;
    auto heading = [&](const char* title) {
        if (!quiet) std::cout << "\n== " << title << " ==\n";
    };
    heading("driver version");
    Version(c);
    heading("fans and sensors, as a fan-control utility polls them");
    Status(c, 4);
    heading("fan 1 to high, then polled again");
    SetFanState(c, 1, 2);
    Status(c, 4);
    heading("requests the driver refuses");
    const int exitBefore = c.exit;
    FanSpeed(c, 2);
    Temperature(c, 256);
    RawIoctl(c, 0x9C40A40C, "", 4);
    c.exit = exitBefore; // the refusals above are the point of the tour
}

} // namespace
} // namespace zerloctl

int main(int argc, char** argv)
{
    using namespace zerloctl;
    CLI::App app{"zerloctl: talk to the zerlo fan-control driver"};
    app.require_subcommand(1, 0);
    app.fallthrough();

    bool jsonOutput = false;
    bool kernelLog = false;
    TransportOptions options;
    app.add_flag("--json", jsonOutput, "print one JSON object per command");
    app.add_flag("--read-only", options.readOnly, "open the device for reading only (every request is then refused)");
#if !defined(_WIN32)
    std::vector<std::string> physArguments;
    app.add_flag("--kernel-log", kernelLog, "print the kernel's debug output (DbgPrint) after the commands");
    app.add_option("--machine", options.machineFile,
                   "machine profile (JSON) to simulate instead of the default notebook")
        ->check(CLI::ExistingFile);
    app.add_flag("--bare", options.bare, "a machine without SMM handler, Super-I/O chip or firmware tables");
    app.add_option("--phys", physArguments, "ADDR=FILE: place a file's bytes at a physical address (repeatable)");
    app.add_option("--phys-image", options.physImage,
                   "raw image of physical memory from address 0 (sparse files welcome)")
        ->check(CLI::ExistingFile);
    app.add_option("--acpidump", options.acpiDump, "replay a notebook's ACPI tables from `acpidump` text")
        ->check(CLI::ExistingFile);
    app.add_option("--smbios-dump", options.smbiosDump, "replay a notebook's SMBIOS from a `dmidecode --dump-bin` file")
        ->check(CLI::ExistingFile);
#endif

    std::vector<std::function<void(Context&)>> steps;
    auto word = [](CLI::App* command, const char* name, uint16_t& value, const char* help) {
        command->add_option(name, value, help)->required()->check(CLI::Range(0, 65535));
    };

    auto* version = app.add_subcommand("version", "driver version");
    version->callback([&] { steps.push_back([](Context& c) { Version(c); }); });

    uint16_t stateFan = 0, setStateFan = 0, speedFan = 0, levelFan = 0, setLevelFan = 0, stateArg = 0, levelArg = 0,
             sensorArg = 0;
    auto* fanState = app.add_subcommand("fan-state", "read a fan's state (SMM)");
    word(fanState, "FAN", stateFan, "fan number, 0 or 1");
    fanState->callback([&] { steps.push_back([f = stateFan](Context& c) { FanState(c, f); }); });

    auto* setFanState = app.add_subcommand("set-fan-state", "set a fan's state (SMM): 0 off, 1 low, 2 high");
    word(setFanState, "FAN", setStateFan, "fan number, 0 or 1");
    word(setFanState, "STATE", stateArg, "0 off, 1 low, 2 high");
    setFanState->callback(
        [&] { steps.push_back([f = setStateFan, s = stateArg](Context& c) { SetFanState(c, f, s); }); });

    auto* fanSpeed = app.add_subcommand("fan-speed", "read a fan's speed in rpm (SMM)");
    word(fanSpeed, "FAN", speedFan, "fan number, 0 or 1");
    fanSpeed->callback([&] { steps.push_back([f = speedFan](Context& c) { FanSpeed(c, f); }); });

    auto* temperature = app.add_subcommand("temperature", "read a temperature sensor (SMM)");
    word(temperature, "SENSOR", sensorArg, "sensor number, 0 to 255");
    temperature->callback([&] { steps.push_back([s = sensorArg](Context& c) { Temperature(c, s); }); });

    uint16_t statusSensors = 4;
    auto* status = app.add_subcommand("status", "fans and sensors at a glance");
    status->add_option("--sensors", statusSensors, "how many sensors to read, from 0")->check(CLI::Range(0, 256));
    bool statusSio = false;
    status->add_flag("--sio", statusSio, "also read both fans' Super-I/O levels");
    status->callback([&] {
        steps.push_back([n = statusSensors, sio = statusSio](Context& c) { Status(c, n, sio); });
        statusSensors = 4;
        statusSio = false;
    });

    std::string ioctlCode, ioctlInput;
    uint32_t ioctlOutLen = 0;
    auto* ioctl = app.add_subcommand("ioctl", "send any control request and show status, returned length and reply");
    ioctl->add_option("CODE", ioctlCode, "control code, for example 0x9C40A444")->required();
    ioctl->add_option("--in", ioctlInput, "input bytes in hex");
    ioctl->add_option("--out-len", ioctlOutLen, "output buffer length")->check(CLI::Range(0u, 1u << 24));
    ioctl->callback([&] {
        size_t used = 0;
        unsigned long code = 0;
        try {
            code = std::stoul(ioctlCode, &used, 0);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != ioctlCode.size() || code > 0xFFFFFFFFul)
            throw CLI::ValidationError("CODE", "not a 32-bit number: " + ioctlCode);
        ParseHexBytes(ioctlInput); // reject bad hex before anything is sent
        steps.push_back([code, in = ioctlInput, out = ioctlOutLen](Context& c) {
            RawIoctl(c, static_cast<uint32_t>(code), in, out);
        });
        // A later `ioctl` on the same line starts from no input and no output.
        ioctlInput.clear();
        ioctlOutLen = 0;
    });

    app.add_subcommand("cpu-speed", "processor speed in MHz (SMBIOS)")->callback([&] {
        steps.push_back([](Context& c) { Text(c, "cpu-speed", IOCTL_GET_CPU_SPEED, ZERLO_CPU_SPEED_TEXT_SIZE); });
    });
    app.add_subcommand("smbios", "SMBIOS inventory report")->callback([&] {
        steps.push_back([](Context& c) { Text(c, "smbios", IOCTL_GET_SMBIOS_REPORT, ZERLO_SMBIOS_REPORT_SIZE); });
    });
    app.add_subcommand("acpi", "ACPI table survey")->callback([&] {
        steps.push_back([](Context& c) { Text(c, "acpi", IOCTL_GET_ACPI_REPORT, ZERLO_ACPI_REPORT_SIZE); });
    });
    app.add_subcommand("sio-detect", "detect the Super-I/O fan controller")->callback([&] {
        steps.push_back([](Context& c) { SioDetect(c); });
    });
    auto* sioLevel = app.add_subcommand("sio-level", "read a fan's level from the Super-I/O chip");
    word(sioLevel, "FAN", levelFan, "fan number, 0 or 1");
    sioLevel->callback([&] { steps.push_back([f = levelFan](Context& c) { SioLevel(c, f); }); });
    auto* setSioLevel = app.add_subcommand("set-sio-level", "set a fan's level in the Super-I/O chip, 0 to 63");
    word(setSioLevel, "FAN", setLevelFan, "fan number, 0 or 1");
    word(setSioLevel, "LEVEL", levelArg, "level, 0 to 63");
    setSioLevel->callback(
        [&] { steps.push_back([f = setLevelFan, l = levelArg](Context& c) { SetSioLevel(c, f, l); }); });

    std::string dumpPath;
    auto* dumpPhys = app.add_subcommand("dump-phys", "write the simulated machine's physical memory to a sparse file");
    dumpPhys->add_option("OUT", dumpPath, "file to write; byte N is physical address N")->required();
    dumpPhys->callback([&] {
        steps.push_back([path = dumpPath](Context& c) {
            if (!c.transport->dumpPhysical(path)) throw std::runtime_error("dump-phys needs the simulated machine");
            c.emit(nlohmann::json{{"command", "dump-phys"}, {"file", path}}, "physical memory written to " + path);
        });
    });

    unsigned handleCount = 0;
    auto* handles = app.add_subcommand("handles", "open N more handles at once, ask each for the version, close them");
    handles->add_option("N", handleCount, "how many handles, 1 to 64")->required()->check(CLI::Range(1u, 64u));
    handles->callback([&] { steps.push_back([n = handleCount](Context& c) { Handles(c, n); }); });

    app.add_subcommand("tour", "a guided look at what the driver answers");
    app.get_subcommand("tour")->callback([&] { steps.push_back([](Context& c) { Tour(c); }); });

    RegisterLoopCommands(app, [&](TransportCommand command) {
        steps.push_back([command](Context& c) { c.exit = std::max(c.exit, command(*c.transport, c.asJson)); });
    });
#if defined(_WIN32)
    RegisterServiceCommands(app);
#endif

    // A command may come more than once on a line (`fan-state 0 fan-state 1`):
    // each use is parsed, checked and queued on its own.
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
        command->immediate_callback();

    try {
        app.parse(argc, argv);
#if !defined(_WIN32)
        for (const std::string& argument : physArguments) {
            const auto eq = argument.find('=');
            size_t used = 0;
            unsigned long address = 0;
            try {
                address = std::stoul(argument.substr(0, eq), &used, 0);
            } catch (const std::exception&) {
                used = 0;
            }
            if (eq == std::string::npos || used != eq || address > 0xFFFFFFFFul) {
                throw CLI::ValidationError("--phys", "expected ADDR=FILE, got " + argument);
            }
            options.physFiles.emplace_back(static_cast<uint32_t>(address), argument.substr(eq + 1));
        }
#endif
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : kUsage;
    } catch (const std::invalid_argument& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kUsage;
    }

    Context context;
    context.asJson = jsonOutput;
    std::unique_ptr<Transport> transport;
    try {
        transport = OpenTransport(options);
    } catch (const std::invalid_argument& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kUsage;
    } catch (const std::exception& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kNoDriver;
    }
    context.transport = transport.get();
    try {
        for (auto& step : steps)
            step(context);
    } catch (const std::exception& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kNoDriver;
    }
    const std::vector<std::string> log = transport->finish();
    if (kernelLog) {
        for (const std::string& line : log)
            std::cout << line;
    }
    return context.exit;
}
