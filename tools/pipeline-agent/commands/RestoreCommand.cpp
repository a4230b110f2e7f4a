// restore M.json --output DIR|PATH: restores a backed-up set, or one file of
// it, from its manifest (jobs/restore/RestoreJob).

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>

#include "base/AgentError.h"
#include "commands/Command.h"
#include "commands/JobLimits.h"
#include "commands/NumberOptions.h"
#include "jobs/restore/RestoreJob.h"
#include "jobs/wal/ClusterRestore.h"

namespace {

// The options of a restore of a PostgreSQL base backup to a moment.
void addTargetOptions(CLI::App& app, RecoveryTargetOptions& target,
                      std::vector<std::string>& tablespaces) {
    const char* group = "PostgreSQL base backups (backup --postgres)";
    app.add_option("--target-time", target.time,
                   "recover to this moment (PostgreSQL's timestamp forms: '2026-12-09 "
                   "14:02:00+01'); without --job, from the newest backup that ended before it")
        ->group(group);
    app.add_option("--target-lsn", target.lsn, "recover to this WAL location (X/Y)")->group(group);
    app.add_option("--target-xid", target.xid, "recover to this transaction")->group(group);
    app.add_option("--target-name", target.name, "recover to this restore point")->group(group);
    app.add_option("--target", target.target, "latest: recover to the newest archived WAL")
        ->group(group);
    app.add_option("--target-timeline", target.timeline,
                   "the timeline to recover along: a number, current or latest (default)")
        ->group(group);
    app.add_option("--target-action", target.action,
                   "what the server does at the target: pause, promote (default) or shutdown")
        ->group(group);
    app.add_option("--tablespace-mapping", tablespaces,
                   "OLD=NEW: restore the tablespace that lay at OLD into NEW (absolute, new or "
                   "empty), linked from pg_tblspc/; one for each tablespace of the backup")
        ->type_name("OLD=NEW")
        ->group(group);
}

bool targetGiven(const RecoveryTargetOptions& t) {
    return t.time || t.lsn || t.xid || t.name || t.target || t.timeline || t.action;
}

}  // namespace

Command restoreCommand() {
    Command command;
    command.name = "restore";
    command.description = "restore a backup from its manifest";
    command.json = true;
    command.define = [](CLI::App& app) -> CommandRun {
        auto restore = std::make_shared<RestoreOptions>();
        auto target = std::make_shared<RecoveryTargetOptions>();
        auto tablespaces = std::make_shared<std::vector<std::string>>();
        auto limits = std::make_shared<JobLimits>();
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
        addJobLimits(app, *limits);
        // The options for tests come last, after every group a user reads.
        addTargetOptions(app, *target, *tablespaces);
        app.add_flag("--named-temporary", restore->namedTemporary,
                     "write the output under a hidden name until it is complete, as on file "
                     "systems without unnamed files")
            ->group("Testing");
        return [restore, target, tablespaces, limits](localplatform::Config config,
                                                      JsonReport& report) {
            restore->rateLimit = applyJobLimits(*limits);
            // A PostgreSQL base backup becomes a data directory that
            // recovers to a moment.
            const bool plain = !restore->manifest.empty() || !restore->file.empty() ||
                               restore->output == "-";
            if (targetGiven(*target) || !tablespaces->empty() ||
                (!plain && restore->job != 0 && isClusterBackup(config, restore->job))) {
                if (plain) {
                    throw badInput("a restore to a moment takes --job (or none) and a directory, "
                                   "not a manifest, --file or --output -");
                }
                runClusterRestore({restore->job, restore->output, *target, *tablespaces,
                                   restore->key, restore->rateLimit},
                                  std::move(config), report);
                return;
            }
            runRestore(*restore, std::move(config), report);
        };
    };
    return command;
}
