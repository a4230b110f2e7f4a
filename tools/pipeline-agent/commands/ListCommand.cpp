// list: the store's jobs and archive files (jobs/StoreCommands).

#include "commands/Command.h"
#include "jobs/StoreCommands.h"

Command listCommand() {
    Command command;
    command.name = "list";
    command.description = "list the store's jobs and archive files";
    command.json = true;
    command.logName = "list";
    command.define = [](CLI::App&) -> CommandRun {
        return [](localplatform::Config config, JsonReport& report) { listStore(config, report); };
    };
    return command;
}
