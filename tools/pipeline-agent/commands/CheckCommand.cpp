// check [--repair]: verifies the store, or rebuilds its catalog
// (jobs/StoreCommands).

#include <CLI/CLI.hpp>

#include <memory>

#include "commands/Command.h"
#include "jobs/StoreCommands.h"

Command checkCommand() {
    Command command;
    command.name = "check";
    command.description = "verify the store: its catalog against its files and their checksums";
    command.json = true;
    command.logName = "check";
    command.define = [](CLI::App& app) -> CommandRun {
        auto repair = std::make_shared<bool>(false);
        app.add_flag("--repair", *repair,
                     "rebuild a lost or damaged catalog from the files (the old one is kept)");
        auto key = std::make_shared<KeySource>();
        app.add_option("--key-file", key->keyFile,
                       "open encrypted jobs' frames with this key file (or "
                       "$PIPELINE_PASSPHRASE); without it they are checked as stored")
            ->type_name("FILE");
        return [repair, key](localplatform::Config config, JsonReport& report) {
            checkStore(config, *repair, report, *key);
        };
    };
    return command;
}
