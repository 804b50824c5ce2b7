#include "commands/dump_phys_command.h"

namespace zerloctl {

void AddDumpPhysCommand(Cli& cli)
{
    const char* help = "write the simulated machine's physical memory to a sparse file";
    cli.command("dump-phys", help,
                [](CLI::App& used) {
                    return Step{[path = used.get_option("OUT")->as<std::string>()](Context& c) {
                        c.transport->writePhysicalMemory(path);
                        c.emit(nlohmann::json{{"command", "dump-phys"}, {"file", path}},
                               "physical memory written to " + path);
                        return int{kOk};
                    }};
                })
        ->add_option("OUT", "file to write; byte N is physical address N")
        ->required();
}

} // namespace zerloctl
