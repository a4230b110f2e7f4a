// restore M.json --output DIR|PATH: restores a backed-up set, or one file of
// it, from its manifest (jobs/restore/RestoreJob).

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>

#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "jobs/restore/RestoreJob.h"

Command restoreCommand() {
    Command command;
    command.name = "restore";
    command.description = "restore a backup from its manifest";
    command.json = true;
    command.define = [](CLI::App& app) -> CommandRun {
        auto restore = std::make_shared<RestoreOptions>();
        app.add_option("manifest", restore->manifest,
                       "the backup's manifest (optional with --job, checked against the "
                       "store's copy)");
        addUnsignedNumber(&app, "--job", restore->job, 1, ULLONG_MAX,
                          "restore this job from the copy of its manifest the store keeps");
        app.add_option("--output", restore->output,
                       "the directory the set's files go into; for one file, also a file path; "
                       "-: a stream input to standard output")
            ->required();
        app.add_option("--file", restore->file, "restore only the set's file of this name");
        app.add_flag("--force", restore->replace, "overwrite existing outputs");
        app.add_option("--trace", restore->trace,
                       "write the streams' timeline there (Chrome trace-event JSON)")
            ->type_name("FILE");
        app.add_option("--key-file", restore->key.keyFile,
                       "an encrypted job's key file (else $PIPELINE_PASSPHRASE, or asked on "
                       "the terminal)")
            ->type_name("FILE");
        app.add_flag("--named-temporary", restore->namedTemporary,
                     "write the output under a hidden name until it is complete, as on file "
                     "systems without unnamed files")
            ->group("Testing");
        return [restore](localplatform::Config config, JsonReport& report) {
            runRestore(*restore, std::move(config), report);
        };
    };
    return command;
}
