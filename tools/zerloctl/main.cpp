// zerloctl: the user-mode caller of zerlo. Every command sends exactly the
// requests it names; several commands may follow one another on one line
// and then share one open device (and, on Linux, one simulated machine).
// The commands live in commands/; this file parses the line, opens the
// device when a command needs it, runs the queued steps and exits.
#include "cli.h"
#include "commands/check_command.h"
#include "commands/composite_commands.h"
#include "commands/loop_commands.h"
#include "commands/request_commands.h"
#include "commands/tour.h"

#include <algorithm>
#include <iostream>

#if defined(_WIN32)
#include "commands/service_commands.h"
#else
#include "commands/dump_phys_command.h"
#endif

namespace {

using namespace zerloctl;

// The exit code of a device that did not open, or kOk.
int Open(Platform& platform, bool readOnly, Context& context)
{
    try {
        context.transport = &platform.open(readOnly);
        return kOk;
    } catch (const std::invalid_argument& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kUsage;
    } catch (const nlohmann::json::exception& error) {
        // The JSON library reads only files given on the command line
        // (a machine profile); what it cannot take is the file's fault.
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kUsage;
    } catch (const std::exception& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kNoDriver;
    }
}

} // namespace

int main(int argc, char** argv)
{
    Cli cli;
    cli.app.fallthrough();
    bool jsonOutput = false;
    bool readOnly = false;
    cli.app.add_flag("--json", jsonOutput, "print one JSON object per command");
    cli.app.add_flag("--read-only", readOnly, "open the device for reading only (every request is then refused)");
    const std::unique_ptr<Platform> platform = MakePlatform();
    AddRequestCommands(cli);
    platform->addOptions(cli.app);
#if !defined(_WIN32)
    AddDumpPhysCommand(cli);
#endif
    AddCompositeCommands(cli);
    AddTourCommand(cli);
    AddCheckCommand(cli);
    AddLoopCommands(cli);
#if defined(_WIN32)
    AddServiceCommands(cli);
#endif

    try {
        cli.app.parse(argc, argv);
        platform->checkOptions();
    } catch (const CLI::ParseError& error) {
        const int code = cli.app.exit(error);
        return code == 0 ? 0 : kUsage;
    } catch (const std::invalid_argument& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kUsage;
    }
    if (cli.steps.empty()) {
        PrintCommandList(cli.app, std::cout);
        return kUsage;
    }

    Context context;
    context.asJson = jsonOutput;
    int exit = kOk;
    try {
        for (Step& step : cli.steps) {
            if (step.needsDevice && !context.transport) {
                if (const int failed = Open(*platform, readOnly, context)) return failed;
            }
            exit = std::max(exit, step.run(context));
        }
    } catch (const std::exception& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kNoDriver;
    }
    platform->finish();
    return exit;
}
