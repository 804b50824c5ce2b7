#include "commands/service_commands.h"

#include "commands/check_command.h"
#include "loop/presets.h"
#include "services/auto_install.h"
#include "services/auto_service.h"
#include "services/service_control.h"

#include <fstream>
#include <iostream>
#include <optional>
#include <windows.h>

namespace zerloctl {

namespace {

int Print(const ServiceResult& result)
{
    if (!result.message.empty()) {
        if (result.ok())
            std::cout << result.message << std::endl;
        else
            std::cerr << "zerloctl: " << result.message << std::endl;
    }
    return result.exit;
}

void Add(Cli& cli, const char* name, const char* help, std::function<ServiceResult()> action)
{
    cli.command(name, help, [action](CLI::App&) {
        return Step{[action](Context&) { return Print(action()); }, false};
    });
}

int ShowServiceStates()
{
    for (const char* name : {kDriverService, kAutoService}) {
        const ServiceState state = QueryServiceState(name);
        if (!state.result.ok()) return Print(state.result);
        std::cout << DescribeServiceState(name, state) << "\n";
    }
    return kServiceDone;
}

// The service is installed, then started; a start that fails leaves it
// installed, and says why.
int InstallAndStartAuto(const std::string& configPath)
{
    const int installed = Print(InstallAutoService(configPath));
    return installed != kServiceDone ? installed : Print(StartAutoService());
}

// The preset is made for the fans and sensors this notebook answers with,
// written to a file of the user's temporary folder for the service's own
// copy, and removed again.
int InstallPreset(Transport& transport, const std::string& preset)
{
    const std::optional<std::string> config = PresetForNotebook(transport, preset);
    if (!config) return kServiceFailed;
    char folder[MAX_PATH + 1];
    char path[MAX_PATH + 1];
    const DWORD length = GetTempPathA(sizeof folder, folder);
    if (length == 0 || length > MAX_PATH || GetTempFileNameA(folder, "zer", 0, path) == 0) {
        std::cerr << "zerloctl: no temporary file for the preset: error " << GetLastError() << std::endl;
        return kServiceFailed;
    }
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << *config;
        if (!file.flush()) {
            std::cerr << "zerloctl: cannot write " << path << std::endl;
            DeleteFileA(path);
            return kServiceFailed;
        }
    }
    const int exit = InstallAndStartAuto(path);
    DeleteFileA(path);
    return exit;
}

} // namespace

void AddServiceCommands(Cli& cli)
{
    CLI::App* install =
        cli.command("install", "copy zerlo.sys to system32\\drivers and create its service", [](CLI::App& used) {
            const CLI::Option* sys = used.get_option("--sys");
            const std::string path = sys->count() ? sys->as<std::string>() : "";
            return Step{[path](Context&) { return Print(InstallDriverService(path)); }, false};
        });
    install->add_option("--sys", "the driver file (default: zerlo.sys beside zerloctl.exe)")->type_name("TEXT");
    Add(cli, "start", "start the zerlo driver service", [] { return StartNamedService(kDriverService); });
    Add(cli, "stop", "stop the zerlo driver service", [] { return StopNamedService(kDriverService); });
    Add(cli, "uninstall", "stop and delete the zerlo service and its file", RemoveDriverService);
    cli.command("service-status", "the zerlo and ZerloAuto services' states", [](CLI::App&) {
        return Step{[](Context&) { return ShowServiceStates(); }, false};
    });
    CLI::App* installAuto =
        cli.command("install-auto", "run the fan loop as an auto-start service", [](CLI::App& used) {
            const CLI::Option* preset = used.get_option("--preset");
            if (preset->count()) {
                const std::string name = preset->as<std::string>();
                return Step{[name](Context& c) { return InstallPreset(*c.transport, name); }};
            }
            const CLI::Option* config = used.get_option("--config");
            if (!config->count()) throw CLI::RequiredError("install-auto --config or --preset");
            const std::string path = config->as<std::string>();
            return Step{[path](Context&) { return InstallAndStartAuto(path); }, false};
        });
    CLI::Option* config = installAuto->add_option("--config", "the loop's configuration (JSON)")->type_name("TEXT");
    installAuto->add_option("--preset")
        ->description("a ready configuration for this notebook's fans and sensors: " + PresetNamesInWords())
        ->type_name("NAME")
        ->check(CLI::IsMember(PresetNames()))
        ->excludes(config);
    Add(cli, "start-auto", "start the fan loop's service (after editing its configuration)", StartAutoService);
    Add(cli, "stop-auto", "stop the fan loop's service", StopAutoService);
    Add(cli, "uninstall-auto", "stop and delete the fan loop's service and its files (not its log)", RemoveAutoService);
    CLI::App* autoService = cli.command("auto-service", "", [](CLI::App& used) {
        const std::string path = used.get_option("--config")->as<std::string>();
        return Step{[path](Context&) { return Print(RunAutoService(path)); }, false};
    });
    autoService->group(""); // run by the service control manager, not by hand
    autoService->add_option("--config", "")->required();
}

} // namespace zerloctl
