// cleanup: removes what failed and crashed jobs and restores left
// (maintenance/StoreCleanup).

#include "commands/Command.h"
#include "maintenance/StoreCleanup.h"

Command cleanupCommand() {
    Command command;
    command.name = "cleanup";
    command.description =
        "remove what jobs that did not complete left, and partial restore outputs";
    command.json = false;
    command.logName = "cleanup";
    command.define = [](CLI::App&) -> CommandRun {
        return [](localplatform::Config config, JsonReport&) { cleanUpStore(config); };
    };
    return command;
}
