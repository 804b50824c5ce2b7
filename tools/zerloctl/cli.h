// What zerloctl's commands share: the command line, the steps it queues and
// the context they run in. Every command has one shape. Its options are
// declared when it registers. Its setup runs once per use on the line, as
// that use is parsed: it reads the use's options and checks what it can,
// throwing a CLI::Error for a mistake, so that nothing runs from a line with
// one. The step it returns runs after the whole line has been checked, in
// order with the others, and returns the command's exit code. Only main
// exits.
#pragma once

#include "input/option_checks.h"
#include "requests/transport.h"

#include <CLI/CLI.hpp>
#include <functional>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace zerloctl {

enum Exit { kOk = 0, kRefusedOrFailed = 1, kUsage = 2, kNoDriver = 3 };

struct Context {
    Transport* transport = nullptr; // null while no step has needed the device
    bool asJson = false;

    void emit(const nlohmann::json& object, const std::string& text) const;
};

struct Step {
    std::function<int(Context&)> run; // returns the exit code
    // The service commands work before the driver exists: the device opens
    // for the first step that needs it.
    bool needsDevice = true;
};

struct Cli {
    CLI::App app{"zerloctl: talk to the zerlo fan-control driver"};
    std::vector<Step> steps;

    // `setup` runs once per use of the command on the line, so
    // `fan-state 0 fan-state 1` queues two steps. It reads the options
    // through the command it is given: an option left out of a second use
    // counts as not given there (a bound variable would keep the first
    // use's value).
    CLI::App* command(const std::string& name, const std::string& help, std::function<Step(CLI::App&)> setup);
};

// One line per command, for a bare `zerloctl`.
void PrintCommandList(const CLI::App& app, std::ostream& out);

} // namespace zerloctl
