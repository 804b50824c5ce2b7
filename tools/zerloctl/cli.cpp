#include "cli.h"

#include <algorithm>
#include <iostream>

namespace zerloctl {

void Context::emit(const nlohmann::json& object, const std::string& text) const
{
    // A text from outside the driver's replies, such as a file name, may be
    // in any character set; what is not UTF-8 shows as U+FFFD. Throwing here
    // would report a command whose work is done as failed.
    std::cout << (asJson ? object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) : text) << "\n";
}

CLI::App* Cli::command(const std::string& name, const std::string& help, std::function<Step(CLI::App&)> setup)
{
    CLI::App* command = app.add_subcommand(name, help);
    command->immediate_callback();
    command->callback([this, command, setup = std::move(setup)] { steps.push_back(setup(*command)); });
    return command;
}

void PrintCommandList(const CLI::App& app, std::ostream& out)
{
    std::vector<std::pair<std::string, std::string>> lines;
    for (const CLI::App* command : app.get_subcommands([](const CLI::App*) { return true; })) {
        std::string usage = command->get_name();
        for (const CLI::Option* option : command->get_options()) {
            if (option == command->get_help_ptr()) continue;
            if (option->get_positional())
                usage += " " + option->get_name();
            else if (option->get_items_expected_max() == 0)
                usage += " [" + option->get_name() + "]";
            else // the type name without the ranges a check appends to it
                usage += " [" + option->get_name() + " " +
                         option->get_type_name().substr(0, option->get_type_name().find(':')) + "]";
        }
        lines.emplace_back(usage, command->get_description());
    }
    size_t width = 0;
    for (const auto& line : lines)
        width = std::max(width, line.first.size());
    out << "usage: zerloctl [OPTIONS] COMMAND [ARGS] [COMMAND [ARGS] ...]\n\ncommands:\n";
    for (const auto& [usage, description] : lines)
        out << "  " << usage << std::string(width - usage.size() + 2, ' ') << description << "\n";
    out << "\nNew here? `zerloctl tour` shows what the driver answers; `zerloctl --help` lists the options.\n";
}

} // namespace zerloctl
