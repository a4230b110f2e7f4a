// check [--repair]: verifies the store, or rebuilds its catalog
// (maintenance/StoreCheck).

#include <CLI/CLI.hpp>

#include <limits>
#include <memory>
#include <optional>

#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "maintenance/StoreCheck.h"

Command checkCommand() {
    Command command;
    command.name = "check";
    command.description = "verify the store: its catalog against its files and their checksums";
    command.json = true;
    command.logName = "check";
    command.define = [](CLI::App& app) -> CommandRun {
        auto repair = std::make_shared<bool>(false);
        auto maxBytes = std::make_shared<std::optional<unsigned long long>>();
        auto sizesOnly = std::make_shared<bool>(false);
        app.add_flag("--repair", *repair,
                     "rebuild a lost or damaged catalog from the files (the old one is kept)");
        CLI::Option* bound = addUnsignedNumber(
            &app, "--max-bytes", *maxBytes, 0, std::numeric_limits<unsigned long long>::max(),
            "read at most N bytes of archive data for checksums, the jobs verified longest ago "
            "first; the files past it are named, their sizes compared");
        app.add_flag("--sizes-only", *sizesOnly,
                     "read no archive data: compare sizes only (as --max-bytes 0)")
            ->excludes(bound);
        auto key = std::make_shared<KeySource>();
        app.add_option("--key-file", key->keyFile,
                       "open encrypted jobs' frames with this key file (or "
                       "$PIPELINE_PASSPHRASE); without it they are checked as stored")
            ->type_name("FILE");
        return [repair, maxBytes, sizesOnly, key](localplatform::Config config,
                                                  JsonReport& report) {
            checkStore(config, *repair, report, *sizesOnly ? std::optional(0ULL) : *maxBytes,
                       *key);
        };
    };
    return command;
}
