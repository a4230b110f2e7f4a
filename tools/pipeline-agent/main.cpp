// pipeline-agent: a command-line backup agent on the embedded local platform.
// It splits a set of database files over parallel streams, backs them up through
// BackupPipelineSetup, and restores them through RestorePipelineSetup.

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "base/AgentError.h"
#include "base/Checks.h"
#include "base/Interrupt.h"
#include "base/Progress.h"
#include "base/Sha256.h"
#include "commands/SampleDatabase.h"
#include "jobs/BackupJob.h"
#include "jobs/RestoreJob.h"
#include "jobs/StoreCommands.h"
#include "manifest/Manifest.h"
#include "platform/local/LocalPlatform.h"
#include "report/JsonReport.h"
#include "report/TimelineSvg.h"

namespace {

struct GlobalOptions {
    std::string store;
    std::string settings;
    std::string logFile;
    std::string catalog;   // a new store's PostgreSQL catalog; empty: SQLite
    std::string hostName;  // testing: the physical machine's name
    int logLevel = 1;
    int verbose = 0;     // -v: the log on stderr too; -vv: every debug level
    bool quiet = false;  // -q: errors only
    std::string mediaTimeout = "60s";
    unsigned long mediaChunkDelayMs = 0;  // testing: slow media
    bool skipPauses = false;              // testing: pauses are logged, not slept
    unsigned long killAtStep = 0;         // testing: SIGKILL at this platform step
};

struct DemoOptions {
    std::string dir = "pipeline-demo";
    uint64_t sizeMiB = 4;
    unsigned long streams = 3;
};

constexpr long long kMaxStreams = 65;
constexpr long long kMaxLogLevel = 9;

// Adds a numeric option that takes decimal numbers from min to max only (see
// parseDecimal); a bad number ends the parse with AgentError (bad input).
template <typename T>
CLI::Option* addNumber(CLI::App* command, const std::string& name, T& target, long long min,
                       long long max, const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name,
            [&target, name, min, max](const std::string& text) {
                target = static_cast<T>(parseDecimal(name, text, min, max));
            },
            help)
        ->type_name("N");
}

template <typename T>
CLI::Option* addUnsignedNumber(CLI::App* command, const std::string& name, T& target,
                               unsigned long long min, unsigned long long max,
                               const std::string& help) {
    return command
        ->add_option_function<std::string>(
            name,
            [&target, name, min, max](const std::string& text) {
                target = static_cast<T>(parseDecimalUnsigned(name, text, min, max));
            },
            help)
        ->type_name("N");
}

// Checks the options that every command shares, before any work.
void checkGlobalOptions(const GlobalOptions& options) {
    parseMediaTimeout(options.mediaTimeout);
    if (!options.settings.empty()) requireReadableFile(options.settings, "settings file");
    if (!options.logFile.empty()) requireLogFile(options.logFile);
}

localplatform::Config platformConfig(const GlobalOptions& options) {
    localplatform::Config config;
    config.storeDir = options.store;
    config.settingsFile = options.settings;
    config.logFile = options.logFile;
    config.catalog = options.catalog;
    config.physicalMachine = options.hostName;
    config.logLevel = options.logLevel;
    // The log goes to its file; stderr has the agent's own lines unless -v.
    config.stderrLevel = options.verbose >= 2   ? kMaxLogLevel
                         : options.verbose == 1 ? 1
                                                : localplatform::kLogNothing;
    config.mediaTimeout = parseMediaTimeout(options.mediaTimeout);
    config.mediaChunkDelay = std::chrono::milliseconds(options.mediaChunkDelayMs);
    config.skipPauses = options.skipPauses;
    config.killAtStep = options.killAtStep;
    return config;
}

// The failed run's last line: what failed and, once a store is open, where
// its log is; with --json, the failure's document on stdout too.
void reportFailure(const std::string& what, int exitCode, bool logShown, JsonReport& report) {
    std::string where;
    std::string log;
    if (localplatform::storeIsOpen()) {
        log = localplatform::logFilePath();
        if (!log.empty()) {
            where = " (log: " + log + ")";
        } else if (!logShown) {
            where = " (no log file: the store cannot be written; -v shows the log)";
        }
    }
    std::fprintf(stderr, "pipeline-agent: error: %s%s\n", what.c_str(), where.c_str());
    std::fflush(stderr);
    report.printFailure(what, exitCode, log);
}

// Whether --json is among the arguments (before a "--").
bool jsonAsked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

void removeIfPresent(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw badInput("cannot remove the earlier " + path);
    }
}

void runDemo(const DemoOptions& options, localplatform::Config config, JsonReport& report) {
    if (::mkdir(options.dir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw badInput("cannot create the demo directory " + options.dir);
    }
    if (config.storeDir.empty()) config.storeDir = options.dir + "/store";
    const std::string sample = options.dir + "/sample.db";
    const std::string orders = options.dir + "/sample.orders.csv";
    const std::string manifest = options.dir + "/sample.manifest.json";
    const std::string restoredDir = options.dir + "/restored";
    const std::string restored = restoredDir + "/sample.db";
    const std::string restoredOrders = restoredDir + "/sample.orders.csv";
    const std::string backupTrace = options.dir + "/backup.trace.json";
    const std::string restoreTrace = options.dir + "/restore.trace.json";
    const std::string backupSvg = options.dir + "/backup.timeline.svg";
    const std::string restoreSvg = options.dir + "/restore.timeline.svg";
    for (const std::string& path : {sample, orders, manifest, restored, restoredOrders, backupTrace,
                                    restoreTrace, backupSvg, restoreSvg}) {
        removeIfPresent(path);
    }
    if (::mkdir(restoredDir.c_str(), 0777) != 0 && errno != EEXIST) {
        throw badInput("cannot create the demo directory " + restoredDir);
    }

    const unsigned long long rows = makeSampleDatabase(sample, options.sizeMiB << 20);
    say("demo: made sample database %s with %llu orders", sample.c_str(), rows);
    const uint64_t exported = exportSampleOrders(sample, orders);
    say("demo: exported its orders to %s (%llu bytes)", orders.c_str(),
        static_cast<unsigned long long>(exported));
    runBackup({{sample, orders}, manifest, options.streams, 0, 0, backupTrace}, config, report);
    // One restore request per file on the same archive files: the second
    // only seeks each stream to that file's parts (look for the
    // FSR_MSG_SEEK_TO_OFFSET lines in the restore's log, or run with -v).
    RestoreOptions restore;
    restore.manifest = manifest;
    restore.output = restoredDir;
    restore.trace = restoreTrace;
    runRestore(restore, config, report);
    drawTimeline(backupTrace, backupSvg);
    drawTimeline(restoreTrace, restoreSvg);

    if (sha256OfFile(sample) != sha256OfFile(restored) ||
        sha256OfFile(orders) != sha256OfFile(restoredOrders)) {
        throw jobFailed("demo: the restored files differ from the originals");
    }
    const unsigned long long rowsBack = checkSampleDatabase(restored);
    if (rowsBack != rows) throw jobFailed("demo: the restored database lost orders");
    std::printf("demo: %s and %s restored byte for byte into %s (%llu orders, integrity ok)\n",
                sample.c_str(), orders.c_str(), restoredDir.c_str(), rowsBack);
    std::printf(
        "demo: what each stream did when: %s and %s (open them in Perfetto or "
        "chrome://tracing), drawn as %s and %s\n",
        backupTrace.c_str(), restoreTrace.c_str(), backupSvg.c_str(), restoreSvg.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    installInterruptHandling();
    CLI::App app{
        "pipeline-agent: backs a database file up over parallel streams and "
        "restores it, through libpipelinesetup on the embedded local platform."};
    app.require_subcommand(1);
    // The shared options may also follow the command: a subcommand hands
    // the options it does not know to the application.
    app.fallthrough();
    GlobalOptions global;
    app.add_option("--store", global.store,
                   "archive store directory (default: $PIPELINE_STORE, else "
                   "~/.local/share/pipelinesetup/store)");
    app.add_option("--catalog", global.catalog,
                   "keep a new store's catalog in PostgreSQL: a libpq connection string "
                   "(postgresql://..., key=value or service=NAME) without a password, which "
                   "store.ini records for every later command")
        ->type_name("CONNINFO");
    app.add_option("--settings", global.settings,
                   "settings file (default: $PIPELINE_SETTINGS, else <store>/settings.ini)");
    app.add_option("--log-file", global.logFile,
                   "write the log there instead of <store>/logs/<job>.log");
    addNumber(&app, "--log-level", global.logLevel, -1, kMaxLogLevel,
              "what the log file gets: -1: errors only, 0: also important debug lines, "
              "1 (default) to 9: all");
    auto* verboseFlag = app.add_flag("-v,--verbose", global.verbose,
                                     "also show the log on stderr (-vv: every debug level)");
    app.add_flag("-q,--quiet", global.quiet, "print errors only")->excludes(verboseFlag);
    app.add_flag("--json")->description(
        "list, check, backup, restore: print one JSON document on stdout at the end, also when "
        "the command fails");
    app.add_option("--media-timeout", global.mediaTimeout,
                   "how long a restore waits for a media side that makes no progress "
                   "(250ms, 30s, 5m, 1h; 1ms to 24h)")
        ->capture_default_str();
    addUnsignedNumber(&app, "--test-media-chunk-delay", global.mediaChunkDelayMs, 0, 3600000,
                      "slow the media side down by this many ms per chunk it reads")
        ->group("Testing");
    app.add_flag("--test-skip-pauses", global.skipPauses, "log the platform's pauses, do not wait")
        ->group("Testing");
    app.add_option("--test-host-name", global.hostName,
                   "the physical machine's name the platform reports (default: the host name)")
        ->group("Testing");
    addUnsignedNumber(&app, "--test-kill-at", global.killAtStep, 1, ULONG_MAX,
                      "kill the process (SIGKILL) at this step of the local platform")
        ->group("Testing");

    BackupOptions backup;
    auto* backupCommand =
        app.add_subcommand("backup", "back one or more files up as a set over parallel streams");
    backupCommand
        ->add_option("inputs", backup.inputs,
                     "the files of the set (a database's data "
                     "and log files, say)")
        ->required();
    backupCommand->add_option("--manifest", backup.manifest, "where to write the manifest")
        ->required();
    addNumber(backupCommand, "--streams", backup.streams, 1, kMaxStreams,
              "number of streams, 1 to 65 (default 3)");
    addUnsignedNumber(backupCommand, "--job-id", backup.jobId, 1, ULLONG_MAX,
                      "the job id (default: a new one)");
    backupCommand
        ->add_option("--trace", backup.trace,
                     "write the streams' timeline there (Chrome trace-event JSON)")
        ->type_name("FILE");
    addNumber(backupCommand, "--fail-stream", backup.failStream, 1, kMaxStreams,
              "rehearse a failure: writing this stream fails and the job's archive "
              "files are invalidated")
        ->group("Testing");

    RestoreOptions restore;
    auto* restoreCommand = app.add_subcommand("restore", "restore a backup from its manifest");
    restoreCommand->add_option("manifest", restore.manifest, "the backup's manifest")->required();
    restoreCommand
        ->add_option("--output", restore.output,
                     "the directory the set's files go into; for one file, also a file path")
        ->required();
    restoreCommand->add_option("--file", restore.file, "restore only the set's file of this name");
    restoreCommand->add_flag("--force", restore.replace, "overwrite existing outputs");
    restoreCommand
        ->add_option("--trace", restore.trace,
                     "write the streams' timeline there (Chrome trace-event JSON)")
        ->type_name("FILE");
    restoreCommand
        ->add_flag("--named-temporary", restore.namedTemporary,
                   "write the output under a hidden name until it is complete, as on file "
                   "systems without unnamed files")
        ->group("Testing");

    auto* listCommand = app.add_subcommand("list", "list the store's jobs and archive files");
    auto* cleanupCommand = app.add_subcommand(
        "cleanup", "remove what jobs that did not complete left, and partial restore outputs");
    bool repair = false;
    auto* checkCommand = app.add_subcommand(
        "check", "verify the store: its catalog against its files and their checksums");
    checkCommand->add_flag(
        "--repair", repair,
        "rebuild a lost or damaged catalog from the files (the old one is kept)");

    std::string timelineTrace, timelineSvgPath;
    auto* timelineCommand =
        app.add_subcommand("timeline", "draw a trace that --trace wrote as an SVG picture");
    timelineCommand->add_option("trace", timelineTrace, "the trace")->required()->type_name("FILE");
    timelineCommand->add_option("--svg", timelineSvgPath, "where the picture goes (a new file)")
        ->required()
        ->type_name("OUT");

    DemoOptions demo;
    auto* demoCommand = app.add_subcommand(
        "demo",
        "make a sample database and an export of it, back both up over 3 streams, restore and "
        "compare them");
    demoCommand->add_option("--dir", demo.dir, "where the demo's files go")->capture_default_str();
    addUnsignedNumber(demoCommand, "--size-mib", demo.sizeMiB, 1, 1 << 20,
                      "size of the sample database in MiB, 1 to 1048576 (default 4)");
    addNumber(demoCommand, "--streams", demo.streams, 1, kMaxStreams,
              "number of streams, 1 to 65 (default 3)");

    // Filled by the command that runs; prints only with --json. Whether it
    // was asked for is read before the parse, so that a command line that
    // does not parse gets its document too.
    JsonReport report(jsonAsked(argc, argv));
    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::Success& done) {
            return app.exit(done);  // --help
        } catch (const CLI::ParseError& error) {
            // One line, as for every other bad input.
            const std::string what = std::string(error.what()) + " (see --help)";
            std::fprintf(stderr, "pipeline-agent: error: %s\n", what.c_str());
            std::fflush(stderr);
            if (!app.get_subcommands().empty()) {
                report.setCommand(app.get_subcommands().front()->get_name());
            }
            report.printFailure(what, 2, "");
            return 2;
        }
        const CLI::App* command = app.get_subcommands().front();
        report.setCommand(command->get_name());
        if (report.enabled() && (*cleanupCommand || *demoCommand || *timelineCommand)) {
            throw badInput("--json is for list, check, backup and restore, not " +
                           command->get_name());
        }
        checkGlobalOptions(global);
        progressShown() = !global.quiet;
        localplatform::Config config = platformConfig(global);
        if (*backupCommand) runBackup(backup, config, report);
        if (*restoreCommand) runRestore(restore, config, report);
        if (*timelineCommand) drawTimeline(timelineTrace, timelineSvgPath);
        // The store commands log, each, to a file of their own name.
        config.storeLogName = listCommand->parsed()      ? "list"
                              : cleanupCommand->parsed() ? "cleanup"
                                                         : "check";
        if (*listCommand) listStore(config, report);
        if (*cleanupCommand) cleanUpStore(config);
        if (*checkCommand) checkStore(config, repair, report);
        if (*demoCommand) runDemo(demo, config, report);
    } catch (const AgentError& error) {
        // A number refused while parsing is thrown before the command is
        // named.
        if (!app.get_subcommands().empty()) {
            report.setCommand(app.get_subcommands().front()->get_name());
        }
        reportFailure(error.what(), error.exitCode(), global.verbose > 0, report);
        return error.exitCode();
    } catch (const std::exception& error) {
        reportFailure(error.what(), 1, global.verbose > 0, report);
        return 1;
    }
    report.printSuccess();
    return 0;
}
