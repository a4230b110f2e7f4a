#include "commands/Command.h"

#include <cassert>
#include <cstddef>
#include <iterator>

// Each command's definition, in its own file.
Command backupCommand();
Command restoreCommand();
Command listCommand();
Command cleanupCommand();
Command checkCommand();
Command deleteCommand();
Command markDamagedCommand();
Command expireCommand();
Command timelineCommand();
Command demoCommand();
Command walPushCommand();
Command walFetchCommand();
Command copyCommand();

namespace {

// The commands whose json is true, as --help and the refusal name them.
constexpr const char* kJsonCommands[] = {"list", "check", "backup", "restore", "copy"};

#ifndef NDEBUG
// Whether kJsonCommands names exactly the commands that print a document.
bool jsonCommandsMatch(const std::vector<Command>& table) {
    std::size_t named = 0;
    for (const Command& command : table) {
        bool listed = false;
        for (const char* name : kJsonCommands) listed = listed || command.name == name;
        if (listed != command.json) return false;
        if (listed) ++named;
    }
    return named == std::size(kJsonCommands);
}
#endif

}  // namespace

const std::vector<Command>& commandTable() {
    static const std::vector<Command> table = {
        backupCommand(), restoreCommand(),     copyCommand(),   listCommand(),     cleanupCommand(),
        checkCommand(),
        deleteCommand(), markDamagedCommand(), expireCommand(), timelineCommand(), demoCommand(),
        walPushCommand(), walFetchCommand(),
    };
    assert(jsonCommandsMatch(table));
    return table;
}

std::string jsonOptionHelp() {
    std::string names;
    for (const char* name : kJsonCommands) names += (names.empty() ? "" : ", ") + std::string(name);
    return names + ": print one JSON document on stdout at the end, also when the command fails";
}

std::string jsonRefused(const std::string& command) {
    std::string names;
    const std::size_t count = std::size(kJsonCommands);
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) names += i + 1 == count ? " and " : ", ";
        names += kJsonCommands[i];
    }
    return "--json is for " + names + ", not " + command;
}
