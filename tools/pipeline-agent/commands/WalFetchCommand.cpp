// wal-fetch NAME PATH: PostgreSQL's restore_command,
// `pipeline-agent --store S wal-fetch %f %p` (jobs/wal/WalFetch).

#include <CLI/CLI.hpp>

#include <memory>

#include "base/AgentError.h"
#include "base/Console.h"
#include "commands/Command.h"
#include "jobs/wal/WalFetch.h"

Command walFetchCommand() {
    Command command;
    command.name = "wal-fetch";
    command.description = "restore_command: fetch an archived WAL file (exit 1, quietly, when the archive lacks it)";
    command.json = false;
    command.logName = "wal-fetch";
    command.define = [](CLI::App& app) -> CommandRun {
        auto options = std::make_shared<WalFetchOptions>();
        app.add_option("NAME", options->name, "the WAL file PostgreSQL names by %f")->required();
        app.add_option("PATH", options->path, "where it goes: PostgreSQL's %p")->required();
        return [options](localplatform::Config config, JsonReport& report) {
            progressShown().store(false);
            try {
                if (!runWalFetch(*options, config, report)) throw quietlyAbsent();
            } catch (const AgentError& error) {
                if (error.quiet() || error.kind() != AgentError::Kind::JobFailed) throw;
                throw stopsRecovery(error.what());
            }
        };
    };
    return command;
}
