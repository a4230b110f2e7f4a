// backup FILE... --manifest M.json: backs a set of files up over parallel
// streams (jobs/backup/BackupJob).

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/Console.h"
#include "commands/Command.h"
#include "commands/JobLimits.h"
#include "commands/NumberOptions.h"
#include "session/StoreSession.h"
#include "jobs/backup/BackupJob.h"
#include "maintenance/Expiry.h"
#include "platform/local/StoreSession.h"

namespace {

// The backup command's line: the job's options, and what the command makes
// of the rest once it runs.
struct BackupLine {
    BackupOptions backup;
    bool expire = false;          // --expire: the store's policy once the job is complete
    std::string compress = "none";  // --compress, parsed when the command runs
    std::string type = "full";      // --type, parsed when the command runs
    JobLimits limits;               // --limit-rate and --nice, applied when the command runs
};

// Adds the backup's options for tests to its subcommand, in the group
// "Testing" that --help leaves out.
void addTestingOptions(CLI::App& app, BackupOptions& backup) {
    app.add_flag("--test-lowest-kdf", backup.lowestKdf,
                 "a new passphrase key uses Argon2id's lowest cost")
        ->group("Testing");
    app.add_option("--test-after-first-chunk", backup.afterFirstChunk,
                   "run COMMAND (with /bin/sh, the file as $1) after the first chunk of "
                   "each file was read, and wait for it")
        ->type_name("COMMAND")
        ->group("Testing");
    addNumber(&app, "--test-sqlite-busy-wait", backup.sqliteBusyWaitMs, 1, 30000,
              "how long, in ms, a SQLite snapshot waits for a writer's lock (default 30000)")
        ->group("Testing");
    addNumber(&app, "--test-record-every", backup.recordEveryMs, 1, 3600000,
              "how often, in ms, a backup of files records what it wrote so far (default 5000)")
        ->group("Testing");
    addNumber(&app, "--fail-stream", backup.failStream, 1, kMaxStreams,
              "rehearse a failure: writing this stream fails and the job's archive "
              "files are invalidated")
        ->group("Testing");
}

// Adds the backup's options to its subcommand, bound to line, which must
// outlive the parse.
void addOptions(CLI::App& app, BackupLine& line) {
    BackupOptions& backup = line.backup;
    app.add_option("inputs", backup.inputs,
                   "the files of the set (a database's data "
                   "and log files, say); - reads a stream from standard input");
    app.add_option("--from-command", backup.pipe.command,
                   "back up the standard output of this command (run by /bin/sh -c) "
                   "to its end, as a stream input; it fails the job if it fails")
        ->type_name("CMD");
    app.add_option("--name", backup.pipe.name,
                   "the stream input's name in the set (with --from-command or -)");
    app.add_option("--manifest", backup.manifest,
                   "where to write the manifest (required but with --postgres, whose "
                   "manifest the store keeps)");
    app.add_option("--postgres", backup.postgres,
                   "a native base backup of the running PostgreSQL cluster this libpq "
                   "connection string (without a password) names: pg_backup_start, its "
                   "data directory over the streams, pg_backup_stop; complete once the "
                   "archive (wal-push) holds the WAL it needs")
        ->type_name("CONNINFO");
    app.add_flag("--with-wal", backup.withWal,
                 "with --postgres: keep the WAL from the backup's start to its stop in the job "
                 "itself, so that it restores without the archive (complete without waiting "
                 "for it)");
    app.add_flag("--allow-bad-pages", backup.allowBadPages,
                 "with --postgres: name pages whose checksum fails, without failing the job");
    app.add_option("--type", line.type,
                   "full (default), diff: only the files changed since the set's newest "
                   "full backup, or incr: since its newest backup of any kind (a full when "
                   "there is none)")
        ->type_name("TYPE");
    app.add_option("--set", backup.set,
                   "the set's name across its jobs (default: the inputs' absolute paths, or "
                   "the PostgreSQL cluster's system identifier)")
        ->type_name("NAME");
    app.add_flag("--verify-unchanged", backup.verifyUnchanged,
                 "with --type diff or incr: read each file that looks unchanged and compare "
                 "its digest too");
    addNumber(&app, "--streams", backup.streams, 1, kMaxStreams,
              "number of streams, 1 to 65 (default 3)");
    addUnsignedNumber(&app, "--job-id", backup.jobId, 1, ULLONG_MAX,
                      "the job id (default: a new one)");
    addUnsignedNumber(&app, "--resume", backup.resume, 1, ULLONG_MAX,
                      "go on with job JOB, a backup of these files that was killed: what it "
                      "wrote whole is kept, the rest written after it")
        ->type_name("JOB");
    app.add_option("--trace", backup.trace,
                   "write the streams' timeline there (Chrome trace-event JSON)")
        ->type_name("FILE");
    app.add_flag("--raw", backup.raw,
                 "back SQLite databases up as plain bytes, not as a consistent snapshot "
                 "(the job fails if one changes while it is read)");
    app.add_flag("--expire", line.expire,
                 "once the job is complete, apply the retention policy the store keeps "
                 "(expire --save)");
    app.add_option("--compress", line.compress,
                   "compress each stream's frames: zstd[:LEVEL] (1-19, default 3), lz4 or "
                   "none (default: none, the bytes stored as read)")
        ->type_name("CODEC");
    app.add_flag("--encrypt", backup.encrypt,
                 "seal every frame (XChaCha20-Poly1305) under a key of the job's own, "
                 "wrapped by the store key from --key-file or a passphrase "
                 "($PIPELINE_PASSPHRASE, or asked on the terminal)");
    app.add_option("--key-file", backup.key.keyFile,
                   "the store key's file: its whole content, 32 bytes or more, mode 0600")
        ->type_name("FILE");
    addJobLimits(app, line.limits);
    addTestingOptions(app, backup);
}

// Takes `-` out of the inputs: it is the stream input from standard input.
// Throws AgentError (bad input) for a `-` named twice.
void takeStandardInput(BackupOptions& backup) {
    std::vector<std::string> files;
    for (const std::string& input : backup.inputs) {
        if (input == "-") {
            if (backup.pipe.standardInput) throw badInput("- is named twice");
            backup.pipe.standardInput = true;
        } else {
            files.push_back(input);
        }
    }
    backup.inputs = files;
}

// The retention policy the store keeps, for --expire; read before any work,
// so that a store without one is refused (AgentError, bad input) with
// nothing backed up.
RetentionPolicy requiredPolicy(const localplatform::Config& config) {
    const std::string store = localplatform::configuredStoreDirectory(config);
    std::optional<RetentionPolicy> policy = storedPolicy(config);
    if (!policy) {
        throw badInput("backup --expire: the store " + store +
                       " keeps no retention policy; keep one with `expire ... "
                       "--save`");
    }
    return *policy;
}

// Applies the policy once the backup is complete. The backup stands whatever
// the expiry does: an expiry that fails or skips jobs in use says so after a
// line that the backup is complete, and throws AgentError (done in part,
// exit 3).
void expireAfterBackup(const RetentionPolicy& policy, const localplatform::Config& expiring,
                       const std::string& manifest, JsonReport& report) {
    std::string why;
    try {
        openStoreFor(expiring, localplatform::Access::ReadWrite, false);
        const Expiry expiry = expireJobs(policy, false, !report.enabled(), expiring);
        report.add({{"expired", expiry.deleted}});
        if (!expiry.skipped.empty()) {
            report.add({{"skipped", expiry.skipped}});
            why = "expiring the store " + skippedJobs(expiry);
        }
    } catch (const AgentError& error) {
        why = std::string("expiring the store failed: ") + error.what();
    }
    if (why.empty()) return;
    printLine("pipeline-agent: the backup is complete: manifest " + manifest + "\n");
    throw partlyDone(why);
}

// Runs the backup the command line asked for, then, with --expire, the
// store's retention policy. Throws AgentError.
void runBackupLine(BackupLine& line, localplatform::Config config, JsonReport& report) {
    BackupOptions& backup = line.backup;
    backup.rateLimit = applyJobLimits(line.limits);
    if (backup.manifest.empty() && backup.postgres.empty()) {
        throw badInput("--manifest is required (but with --postgres)");
    }
    if (backup.postgres.empty() && (backup.withWal || backup.allowBadPages)) {
        throw badInput("--with-wal and --allow-bad-pages go with --postgres");
    }
    if (!backup.postgres.empty() && (!backup.inputs.empty() || !backup.pipe.command.empty())) {
        throw badInput("--postgres backs a cluster's data directory up alone: name no inputs");
    }
    backup.compress = parseCodecOption("--compress", line.compress);
    const std::optional<BackupType> type = backupTypeOf(line.type);
    if (!type) throw badInput("--type must be full, diff or incr, not " + line.type);
    backup.type = *type;
    if (backup.verifyUnchanged && backup.type == BackupType::Full) {
        throw badInput("--verify-unchanged goes with --type diff or incr");
    }
    takeStandardInput(backup);
    std::optional<RetentionPolicy> policy;
    if (line.expire) policy = requiredPolicy(config);
    localplatform::Config expiring = config;
    expiring.storeLogName = "expire";
    runBackup(backup, std::move(config), report);
    if (policy) expireAfterBackup(*policy, expiring, backup.manifest, report);
}

}  // namespace

Command backupCommand() {
    Command command;
    command.name = "backup";
    command.description = "back one or more files up as a set over parallel streams";
    command.json = true;
    command.define = [](CLI::App& app) -> CommandRun {
        auto line = std::make_shared<BackupLine>();
        addOptions(app, *line);
        return [line](localplatform::Config config, JsonReport& report) {
            runBackupLine(*line, std::move(config), report);
        };
    };
    return command;
}
