// pipeline-agent: a command-line backup agent on the embedded local platform.
// It splits a database file over parallel streams, backs them up through
// BackupPipelineSetup, and restores them through RestorePipelineSetup.

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

#include "AgentError.h"
#include "BackupJob.h"
#include "Checks.h"
#include "Interrupt.h"
#include "Manifest.h"
#include "PartialOutputs.h"
#include "Progress.h"
#include "RestoreJob.h"
#include "SampleDatabase.h"
#include "Sha256.h"
#include "platform/local/LocalPlatform.h"

namespace {

struct GlobalOptions {
    std::string store;
    std::string settings;
    std::string logFile;
    int logLevel = 1;
    std::string mediaTimeout = "60s";
    unsigned long mediaChunkDelayMs = 0;  // testing: slow media
};

struct DemoOptions {
    std::string dir = "pipeline-demo";
    uint64_t sizeMiB = 4;
    unsigned long streams = 3;
};

// Checks the options that every command shares, before any work.
void checkGlobalOptions(const GlobalOptions& options) {
    if (options.logLevel < -1) {
        throw badInput("--log-level must be -1 or more, not " + std::to_string(options.logLevel));
    }
    parseMediaTimeout(options.mediaTimeout);
    if (!options.settings.empty()) requireReadableFile(options.settings, "settings file");
    if (!options.logFile.empty()) requireLogFile(options.logFile);
}

void configurePlatform(const GlobalOptions& options) {
    localplatform::Config& config = platformConfig();
    config.storeDir = options.store;
    config.settingsFile = options.settings;
    config.logFile = options.logFile;
    config.logLevel = options.logLevel;
    config.mediaTimeout = parseMediaTimeout(options.mediaTimeout);
    config.mediaChunkDelay = std::chrono::milliseconds(options.mediaChunkDelayMs);
}

std::string identity(const localplatform::ArchiveFileRecord& file) {
    return archiveFileName(file.trellanId, file.groupNumber, file.afileId);
}

void listArchiveFiles() {
    requireStore();
    const auto files = localplatform::listArchiveFiles();
    std::printf("%-20s %-22s %6s %-12s %12s  %s\n", "ARCHIVE FILE", "JOB", "STREAM", "STATE",
                "BYTES", "CREATED");
    for (const auto& file : files) {
        std::string state = file.state;
        if (state == "writing" && !file.writerAlive) state = "crashed";
        std::printf("%-20s %-22llu %6lu %-12s %12llu  %s\n", identity(file).c_str(), file.jobId,
                    file.stream, state.c_str(), file.size, file.createdAt.c_str());
    }
    say("%zu archive files in %s", files.size(), localplatform::storeDirectory().c_str());
}

void cleanUp() {
    requireStore(true);
    const auto removed = localplatform::cleanup().removed;
    for (const auto& file : removed) {
        std::printf("removed %s (job %llu stream %lu, %s): %s\n", identity(file).c_str(),
                    file.jobId, file.stream, file.state == "writing" ? "crashed" : "invalidated",
                    file.path.c_str());
    }
    std::vector<std::string> refused;
    const auto partial = sweepPartialOutputs(partialOutputDirectory(), &refused);
    for (const auto& file : partial) std::printf("removed partial output %s\n", file.c_str());
    for (const auto& line : refused) say("%s", line.c_str());
    if (removed.empty() && partial.empty()) std::printf("nothing to remove\n");
}

void removeIfPresent(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw badInput("cannot remove the earlier " + path);
    }
}

void runDemo(const DemoOptions& options, const GlobalOptions& global) {
    if (::mkdir(options.dir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw badInput("cannot create the demo directory " + options.dir);
    }
    if (global.store.empty()) platformConfig().storeDir = options.dir + "/store";
    const std::string sample = options.dir + "/sample.db";
    const std::string manifest = options.dir + "/sample.manifest.json";
    const std::string restored = options.dir + "/sample.restored.db";
    for (const std::string& path : {sample, manifest, restored}) removeIfPresent(path);

    const unsigned long long rows = makeSampleDatabase(sample, options.sizeMiB << 20);
    say("demo: made sample database %s with %llu orders", sample.c_str(), rows);
    runBackup({sample, manifest, options.streams, 0, 0});
    // The second request names the same archive files: the library keeps them
    // open and only seeks (look for the FSR_MSG_SEEK_TO_OFFSET lines).
    runRestore({manifest, restored, 2, false, false});

    if (sha256OfFile(sample) != sha256OfFile(restored)) {
        throw jobFailed("demo: the restored database differs from the sample");
    }
    const unsigned long long rowsBack = checkSampleDatabase(restored);
    if (rowsBack != rows) throw jobFailed("demo: the restored database lost orders");
    std::printf("demo: %s restored byte for byte as %s (%llu orders, integrity ok)\n",
                sample.c_str(), restored.c_str(), rowsBack);
}

}  // namespace

int main(int argc, char** argv) {
    installInterruptHandling();
    CLI::App app{"pipeline-agent: backs a database file up over parallel streams and "
                 "restores it, through libpipelinesetup on the embedded local platform."};
    app.require_subcommand(1);
    GlobalOptions global;
    app.add_option("--store", global.store,
                   "archive store directory (default: $PIPELINE_STORE, else "
                   "~/.local/share/pipelinesetup/store)");
    app.add_option("--settings", global.settings,
                   "settings file (default: $PIPELINE_SETTINGS, else <store>/settings.ini)");
    app.add_option("--log-file", global.logFile, "write the log there instead of stderr");
    app.add_option("--log-level", global.logLevel,
                   "-1: errors only, 0: also important debug lines, 1: all (default)");
    app.add_option("--media-timeout", global.mediaTimeout,
                   "how long a restore waits for a media side that makes no progress "
                   "(250ms, 30s, 5m, 1h; 1ms to 24h)")
        ->capture_default_str();
    app.add_option("--test-media-chunk-delay", global.mediaChunkDelayMs,
                   "slow the media side down by this many ms per chunk it reads")
        ->group("Testing");

    BackupOptions backup;
    auto* backupCommand = app.add_subcommand("backup", "back a file up over parallel streams");
    backupCommand->add_option("input", backup.input, "the database file")->required();
    backupCommand->add_option("--manifest", backup.manifest, "where to write the manifest")
        ->required();
    backupCommand->add_option("--streams", backup.streams, "number of streams, 1 to 65")
        ->capture_default_str();
    backupCommand->add_option("--job-id", backup.jobId, "the job id (default: a new one)");
    backupCommand
        ->add_option("--fail-stream", backup.failStream,
                     "rehearse a failure: writing this stream fails and the job's archive "
                     "files are invalidated")
        ->group("Testing");

    RestoreOptions restore;
    auto* restoreCommand = app.add_subcommand("restore", "restore a backup from its manifest");
    restoreCommand->add_option("manifest", restore.manifest, "the backup's manifest")->required();
    restoreCommand->add_option("--output", restore.output, "where to write the restored file")
        ->required();
    restoreCommand
        ->add_option("--requests", restore.requests,
                     "restore requests to run against the same archive files")
        ->capture_default_str();
    restoreCommand->add_flag("--force", restore.replace, "overwrite an existing output");
    restoreCommand
        ->add_flag("--named-temporary", restore.namedTemporary,
                   "write the output under a hidden name until it is complete, as on file "
                   "systems without unnamed files")
        ->group("Testing");

    auto* listCommand = app.add_subcommand("list", "list the store's archive files");
    auto* cleanupCommand = app.add_subcommand(
        "cleanup", "remove the archive files of crashed and invalidated jobs");

    DemoOptions demo;
    auto* demoCommand = app.add_subcommand(
        "demo", "make a sample database, back it up over 3 streams, restore and compare it");
    demoCommand->add_option("--dir", demo.dir, "where the demo's files go")->capture_default_str();
    demoCommand->add_option("--size-mib", demo.sizeMiB, "size of the sample database in MiB")
        ->capture_default_str();
    demoCommand->add_option("--streams", demo.streams, "number of streams, 1 to 65")
        ->capture_default_str();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : 2;
    }

    try {
        checkGlobalOptions(global);
        configurePlatform(global);
        if (*backupCommand) runBackup(backup);
        if (*restoreCommand) runRestore(restore);
        if (*listCommand) listArchiveFiles();
        if (*cleanupCommand) cleanUp();
        if (*demoCommand) runDemo(demo, global);
    } catch (const AgentError& error) {
        std::fprintf(stderr, "pipeline-agent: error: %s\n", error.what());
        return error.exitCode();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "pipeline-agent: error: %s\n", error.what());
        return 1;
    }
    return 0;
}
