// zerloctl: the user-mode caller of zerlo. Every command sends exactly the
// requests it names; several commands may follow one another on one line
// and then share one open device (and, on Linux, one simulated machine).
// The commands live in their own files; this one parses the line, opens the
// device and runs the queued steps.
#include "cli.h"
#include "loop_commands.h"

#include <algorithm>
#include <iostream>

#if defined(_WIN32)
#include "win_service.h"
#endif

int main(int argc, char** argv)
{
    using namespace zerloctl;
    Cli cli;
    cli.app.fallthrough();
    bool jsonOutput = false;
    bool readOnly = false;
    cli.app.add_flag("--json", jsonOutput, "print one JSON object per command");
    cli.app.add_flag("--read-only", readOnly, "open the device for reading only (every request is then refused)");
    const std::unique_ptr<Platform> platform = MakePlatform();
    AddRequestCommands(cli);
    platform->addOptions(cli);
    AddCompositeCommands(cli);
    RegisterLoopCommands(cli.app, [&](TransportCommand command) {
        cli.steps.push_back([command](Context& c) { c.exit = std::max(c.exit, command(*c.transport, c.asJson)); });
    });
#if defined(_WIN32)
    RegisterServiceCommands(cli.app);
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
    try {
        context.transport = &platform->open(readOnly);
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
    try {
        for (Step& step : cli.steps)
            step(context);
    } catch (const std::exception& error) {
        std::cerr << "zerloctl: " << error.what() << "\n";
        return kNoDriver;
    }
    platform->finish();
    return context.exit;
}
