// What zerloctl's command files share: the command line, the steps it
// queues, and the context they run in. A command registers itself on the
// command line and, once parsed, queues one step; the steps run in order on
// one open device after the whole line has been checked.
#pragma once

#include "transport.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zerloctl {

enum Exit { kOk = 0, kRefusedOrFailed = 1, kUsage = 2, kNoDriver = 3 };

struct Context {
    Transport* transport = nullptr;
    bool asJson = false;
    int exit = kOk;

    void emit(const nlohmann::json& object, const std::string& text) const;
};

using Step = std::function<void(Context&)>;

struct Cli {
    CLI::App app{"zerloctl: talk to the zerlo fan-control driver"};
    std::vector<Step> steps;

    // `makeStep` runs once per use of the command on the line, so
    // `fan-state 0 fan-state 1` queues two steps. It reads the options
    // through the command it is given: an option left out of a second use
    // counts as not given there (a bound variable would keep the first
    // use's value).
    CLI::App* command(const std::string& name, const std::string& help, std::function<Step(CLI::App&)> makeStep);
};

// The requests of the driver's table, as commands (command_table.cpp).
void AddRequestCommands(Cli& cli);
// A request command by name, run with the given arguments (for the tour).
void RunRequestCommand(Context& c, const std::string& name, uint16_t word0 = 0, uint16_t word1 = 0);
// status, ioctl, handles and tour (commands.cpp).
void AddCompositeCommands(Cli& cli);
// One line per command, for a bare `zerloctl`.
void PrintCommandList(const CLI::App& app, std::ostream& out);

// What only one build has: the host simulates the machine the driver runs on
// and has options and commands of its own; Windows opens the real device.
class Platform {
  public:
    virtual ~Platform() = default;
    virtual void addOptions(Cli& cli) = 0;
    // After parsing; throws CLI::ValidationError for a bad option value.
    virtual void checkOptions() {}
    // Throws std::invalid_argument for a malformed input file (a usage
    // error) and std::runtime_error when the driver cannot be reached.
    virtual Transport& open(bool readOnly) = 0;
    // After the commands: closes the device (the host also unloads the
    // driver and prints its debug output when asked to).
    virtual void finish() {}
};

std::unique_ptr<Platform> MakePlatform();

} // namespace zerloctl
