// wal-push PATH: PostgreSQL's archive_command,
// `pipeline-agent --store S wal-push %p` (jobs/wal/WalPush).

#include <CLI/CLI.hpp>

#include <memory>

#include "base/Console.h"
#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "jobs/wal/WalPush.h"

Command walPushCommand() {
    Command command;
    command.name = "wal-push";
    command.description =
        "archive_command: archive a WAL file, with every other one ready beside it";
    command.json = false;
    command.logName = "wal-push";
    command.define = [](CLI::App& app) -> CommandRun {
        auto options = std::make_shared<WalPushOptions>();
        app.add_option("PATH", options->path, "the WAL file PostgreSQL names by %p")->required();
        addUnsignedNumber(&app, "--streams", options->streams, 1, 65,
                          "the most streams of a job of WAL files, one per 256 MiB it holds (default 4)");
        return [options](localplatform::Config config, JsonReport& report) {
            // What it prints goes to the server's log: its error line alone.
            progressShown().store(false);
            runWalPush(*options, config, report);
        };
    };
    return command;
}
