#include "commands/dump_phys_command.h"

#include "input/user_file.h"

#include <filesystem>
#include <iostream>

namespace zerloctl {

void AddDumpPhysCommand(Cli& cli)
{
    const char* help = "write the simulated machine's physical memory to a sparse file";
    cli.command("dump-phys", help,
                [](CLI::App& used) {
                    const std::string path = used.get_option("OUT")->as<std::string>();
                    // A FIFO in the file's place would hold the write until
                    // someone reads it; a new file or a regular one is taken.
                    std::error_code error;
                    if (std::filesystem::exists(std::filesystem::status(path, error))) {
                        if (const std::string problem = RegularFileProblem(path); !problem.empty())
                            throw CLI::ValidationError("dump-phys OUT", path + ": " + problem);
                    }
                    return Step{[path](Context& c) {
                        // The device is open by now: a file that cannot be
                        // written is this command's failure, not a missing driver.
                        try {
                            c.transport->writePhysicalMemory(path);
                        } catch (const std::runtime_error& failed) {
                            std::cerr << "zerloctl: dump-phys: " << failed.what() << "\n";
                            return int{kRefusedOrFailed};
                        }
                        c.emit(nlohmann::json{{"command", "dump-phys"}, {"file", path}},
                               "physical memory written to " + path);
                        return int{kOk};
                    }};
                })
        ->add_option("OUT", "file to write; byte N is physical address N")
        ->required();
}

} // namespace zerloctl
