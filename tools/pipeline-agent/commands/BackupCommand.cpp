// backup FILE... --manifest M.json: backs a set of files up over parallel
// streams (jobs/BackupJob).

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>
#include <optional>
#include <string>

#include "base/AgentError.h"
#include "base/Console.h"
#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "session/StoreSession.h"
#include "jobs/backup/BackupJob.h"
#include "maintenance/Expiry.h"
#include "platform/local/StoreSession.h"

Command backupCommand() {
    Command command;
    command.name = "backup";
    command.description = "back one or more files up as a set over parallel streams";
    command.json = true;
    command.define = [](CLI::App& app) -> CommandRun {
        auto backup = std::make_shared<BackupOptions>();
        auto expire = std::make_shared<bool>(false);
        app.add_option("inputs", backup->inputs,
                       "the files of the set (a database's data "
                       "and log files, say); - reads a stream from standard input");
        app.add_option("--from-command", backup->pipe.command,
                       "back up the standard output of this command (run by /bin/sh -c) "
                       "to its end, as a stream input; it fails the job if it fails")
            ->type_name("CMD");
        app.add_option("--name", backup->pipe.name,
                       "the stream input's name in the set (with --from-command or -)");
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
        app.add_flag("--expire", *expire,
                     "once the job is complete, apply the retention policy the store keeps "
                     "(expire --save)");
        auto compress = std::make_shared<std::string>("none");
        app.add_option("--compress", *compress,
                       "compress each stream's frames: zstd[:LEVEL] (1-19, default 3), lz4 or "
                       "none (default: none, the bytes stored as read)")
            ->type_name("CODEC");
        app.add_flag("--encrypt", backup->encrypt,
                     "seal every frame (XChaCha20-Poly1305) under a key of the job's own, "
                     "wrapped by the store key from --key-file or a passphrase "
                     "($PIPELINE_PASSPHRASE, or asked on the terminal)");
        app.add_option("--key-file", backup->key.keyFile,
                       "the store key's file: its whole content, 32 bytes or more, mode 0600")
            ->type_name("FILE");
        app.add_flag("--test-lowest-kdf", backup->lowestKdf,
                     "a new passphrase key uses Argon2id's lowest cost")
            ->group("Testing");
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
        return [backup, expire, compress](localplatform::Config config, JsonReport& report) {
            backup->compress = parseCodecOption("--compress", *compress);
            // `-` among the inputs is the stream input from standard input.
            std::vector<std::string> files;
            for (const std::string& input : backup->inputs) {
                if (input == "-") {
                    if (backup->pipe.standardInput) throw badInput("- is named twice");
                    backup->pipe.standardInput = true;
                } else {
                    files.push_back(input);
                }
            }
            backup->inputs = files;
            // The policy is read before any work: a store without one is
            // refused (exit 2) with nothing backed up.
            std::optional<RetentionPolicy> policy;
            if (*expire) {
                const std::string store = localplatform::configuredStoreDirectory(config);
                policy = storedPolicy(config);
                if (!policy) {
                    throw badInput("backup --expire: the store " + store +
                                   " keeps no retention policy; keep one with `expire ... "
                                   "--save`");
                }
            }
            localplatform::Config expiring = config;
            expiring.storeLogName = "expire";
            runBackup(*backup, std::move(config), report);
            if (!policy) return;
            // The backup stands whatever the expiry does: an expiry that
            // fails or skips jobs in use says so after a line that the
            // backup is complete, and exits 3.
            std::string why;
            try {
                openStoreFor(expiring, localplatform::Access::ReadWrite, false);
                const Expiry expiry = expireJobs(*policy, false, !report.enabled(), expiring);
                report.add({{"expired", expiry.deleted}});
                if (!expiry.skipped.empty()) {
                    report.add({{"skipped", expiry.skipped}});
                    why = "expiring the store " + skippedJobs(expiry);
                }
            } catch (const AgentError& error) {
                why = std::string("expiring the store failed: ") + error.what();
            }
            if (why.empty()) return;
            printLine("pipeline-agent: the backup is complete: manifest " + backup->manifest +
                      "\n");
            throw partlyDone(why);
        };
    };
    return command;
}
