#include "commands/UnknownArgument.h"

#include <CLI/CLI.hpp>

#include "base/Nearest.h"

namespace {

std::string suggestion(const std::string& word, const std::vector<std::string>& names) {
    const std::string nearest = nearestName(word, names);
    return nearest.empty() ? " (see --help)" : "; did you mean " + nearest + "?";
}

std::vector<std::string> longOptions(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
    }
    return names;
}

}  // namespace

std::string unknownArgument(CLI::App& app, const std::vector<std::string>& arguments) {
    CLI::App* command = nullptr;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--") break;
        if (argument.size() > 2 && argument.compare(0, 2, "--") == 0) {
            const std::string name = argument.substr(0, argument.find('='));
            const CLI::Option* option = command ? command->get_option_no_throw(name) : nullptr;
            if (option == nullptr) option = app.get_option_no_throw(name);
            if (option == nullptr) {
                std::vector<std::string> names = longOptions(app);
                if (command) {
                    for (std::string& each : longOptions(*command)) names.push_back(each);
                }
                return "unknown option " + name + suggestion(name, names);
            }
            if (name.size() == argument.size() && option->get_items_expected_min() > 0) ++i;
            continue;
        }
        if (argument.size() > 1 && argument[0] == '-') continue;  // short options, "-"
        if (command) continue;                                    // the command's own arguments
        std::vector<std::string> names;
        for (CLI::App* each : app.get_subcommands([](CLI::App*) { return true; })) {
            if (each->get_name() == argument) command = each;
            names.push_back(each->get_name());
        }
        if (!command) return "unknown command " + argument + suggestion(argument, names);
    }
    return "";
}
