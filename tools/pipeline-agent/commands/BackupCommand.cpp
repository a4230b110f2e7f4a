// backup FILE... --manifest M.json: backs a set of files up over parallel
// streams (jobs/BackupJob).

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>

#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "jobs/BackupJob.h"

Command backupCommand() {
    Command command;
    command.name = "backup";
    command.description = "back one or more files up as a set over parallel streams";
    command.json = true;
    command.define = [](CLI::App& app) -> CommandRun {
        auto backup = std::make_shared<BackupOptions>();
        app.add_option("inputs", backup->inputs,
                       "the files of the set (a database's data "
                       "and log files, say)")
            ->required();
        app.add_option("--manifest", backup->manifest, "where to write the manifest")->required();
        addNumber(&app, "--streams", backup->streams, 1, kMaxStreams,
                  "number of streams, 1 to 65 (default 3)");
        addUnsignedNumber(&app, "--job-id", backup->jobId, 1, ULLONG_MAX,
                          "the job id (default: a new one)");
        app.add_option("--trace", backup->trace,
                       "write the streams' timeline there (Chrome trace-event JSON)")
            ->type_name("FILE");
        app.add_flag("--raw", backup->raw,
                     "back SQLite databases up as plain bytes, not as a consistent snapshot "
                     "(the job fails if one changes while it is read)");
        app.add_option("--test-after-first-chunk", backup->afterFirstChunk,
                       "run COMMAND (with /bin/sh, the file as $1) after the first chunk of "
                       "each file was read, and wait for it")
            ->type_name("COMMAND")
            ->group("Testing");
        addNumber(&app, "--test-sqlite-busy-wait", backup->sqliteBusyWaitMs, 1, 30000,
                  "how long, in ms, a SQLite snapshot waits for a writer's lock (default 30000)")
            ->group("Testing");
        addNumber(&app, "--fail-stream", backup->failStream, 1, kMaxStreams,
                  "rehearse a failure: writing this stream fails and the job's archive "
                  "files are invalidated")
            ->group("Testing");
        return [backup](localplatform::Config config, JsonReport& report) {
            runBackup(*backup, std::move(config), report);
        };
    };
    return command;
}
