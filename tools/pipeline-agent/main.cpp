// pipeline-agent: a command-line backup agent on the embedded local platform.
// It splits a set of database files over parallel streams, backs them up through
// BackupPipelineSetup, and restores them through RestorePipelineSetup.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/InputRules.h"
#include "base/Interrupt.h"
#include "base/Names.h"
#include "base/Console.h"
#include "base/StandardStreams.h"
#include "commands/BashCompletion.h"
#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "commands/UnknownArgument.h"
#include "report/JsonReport.h"
#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"

namespace {

struct GlobalOptions {
    std::string store;
    std::string settings;
    std::string logFile;
    std::string catalog;   // a new store's PostgreSQL catalog; empty: SQLite
    std::string shareGroup;  // the group a new store is shared with; empty: none
    std::string hostName;  // testing: the physical machine's name
    int logLevel = 1;
    int verbose = 0;     // -v: the log on stderr too; -vv: every debug level
    bool quiet = false;  // -q: errors only
    std::string mediaTimeout = "60s";
    unsigned long mediaChunkDelayMs = 0;  // testing: slow media
    bool skipPauses = false;              // testing: pauses are logged, not slept
    unsigned long killAtStep = 0;         // testing: SIGKILL at this platform step
    unsigned long signalAtStep = 0;       // testing: SIGTERM at this platform step
    std::string storageFaults;            // testing: the store's fault plan
};

constexpr long long kMaxLogLevel = 9;

// Checks the options that every command shares, before any work.
void checkGlobalOptions(const GlobalOptions& options) {
    parseMediaTimeout(options.mediaTimeout);
    if (!options.store.empty()) requireUsablePath(options.store, "store");
    if (!options.settings.empty()) requireReadableFile(options.settings, "settings file");
    if (!options.logFile.empty()) requireLogFile(options.logFile);
}

localplatform::Config platformConfig(const GlobalOptions& options) {
    localplatform::Config config;
    config.storeDir = options.store;
    config.settingsFile = options.settings;
    config.logFile = options.logFile;
    config.catalog = options.catalog;
    config.shareGroup = options.shareGroup;
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
    config.signalAtStep = options.signalAtStep;
    config.storageFaults = options.storageFaults;
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

// Whether the flag is among the arguments (before a "--").
bool asked(int argc, char** argv, const char* flag) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], flag) == 0) return true;
    }
    return false;
}

// The options for tests are shown by --help-all only: out of their group,
// CLI11 lists them nowhere.
void hideTestingOptions(CLI::App& app) {
    for (CLI::Option* option : app.get_options()) {
        if (option->get_group() == "Testing") option->group("");
    }
    for (CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
        hideTestingOptions(*command);
    }
}

// Adds the shared options for tests, in the group "Testing" that
// hideTestingOptions hides from --help.
void addTestingOptions(CLI::App& app, GlobalOptions& global) {
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
    addUnsignedNumber(&app, "--test-signal-at", global.signalAtStep, 1, ULONG_MAX,
                      "send the process SIGTERM at this step of the local platform")
        ->group("Testing");
    app.add_option("--test-storage-fault", global.storageFaults,
                   "make the store's file operations go wrong by this plan: rules such as "
                   "op=append,nth=3,errno=ENOSPC; from=7,errno=EIO; op=sync,nth=1,stall=200ms; "
                   "nth=12,crash (power loss), separated by ';'")
        ->group("Testing");
}

// Adds the options every command shares, before or after it, to app; their
// values go to global, which must outlive the parse.
void addSharedOptions(CLI::App& app, GlobalOptions& global) {
    app.add_option("--store", global.store,
                   "archive store directory (default: $PIPELINE_STORE, else "
                   "~/.local/share/pipelinesetup/store)");
    app.add_option("--catalog", global.catalog,
                   "keep a new store's catalog in PostgreSQL: a libpq connection string "
                   "(postgresql://..., key=value or service=NAME) without a password, which "
                   "store.ini records for every later command")
        ->type_name("CONNINFO");
    app.add_option("--share-group", global.shareGroup,
                   "let this group read a new store (directories 0750, files 0640), which "
                   "store.ini records; without it a store is its owner's alone (0700, 0600)")
        ->type_name("GROUP");
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
    app.add_flag("--json")->description(jsonOptionHelp());
    app.add_option("--media-timeout", global.mediaTimeout,
                   "how long a restore waits for a media side that makes no progress "
                   "(250ms, 30s, 5m, 1h; 1ms to 24h)")
        ->capture_default_str();
    addTestingOptions(app, global);
}

// A command of the table, as a subcommand with its options, and what runs it.
struct Defined {
    const Command* command;
    const CLI::App* subcommand;
    CommandRun run;
};

// Adds every command of the table to app as a subcommand with its options;
// returns them in the table's order. The subcommands belong to app.
std::vector<Defined> addCommands(CLI::App& app) {
    std::vector<Defined> defined;
    for (const Command& command : commandTable()) {
        CLI::App* subcommand = app.add_subcommand(command.name, command.description);
        defined.push_back({&command, subcommand, command.define(*subcommand)});
    }
    return defined;
}

// Parses the command line into app. Returns the exit code when the run ends
// here: 0 after --help or --version, 2 (after one error line, and the
// failure's document with --json) for a command line that does not parse;
// nothing when the command is to run. A number refused while parsing throws
// AgentError.
std::optional<int> parseCommandLine(CLI::App& app, int argc, char** argv, JsonReport& report) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);  // --help, --version
    } catch (const CLI::ParseError& error) {
        // One line, as for every other bad input; a command or option
        // that is not known is named with the nearest known one.
        std::string what = unknownArgument(app, std::vector<std::string>(argv + 1, argv + argc));
        if (what.empty()) what = std::string(error.what()) + " (see --help)";
        std::fprintf(stderr, "pipeline-agent: error: %s\n", what.c_str());
        std::fflush(stderr);
        if (!app.get_subcommands().empty()) {
            report.setCommand(app.get_subcommands().front()->get_name());
        }
        report.printFailure(what, 2, "");
        return 2;
    }
    return std::nullopt;
}

// Runs the command the parsed command line names, with the shared options
// in global. Throws AgentError (or any exception the command lets through).
void runChosen(const CLI::App& app, const std::vector<Defined>& defined,
               const GlobalOptions& global, JsonReport& report) {
    const CLI::App* parsed = app.get_subcommands().front();
    report.setCommand(parsed->get_name());
    const Defined& chosen =
        *std::find_if(defined.begin(), defined.end(),
                      [parsed](const Defined& each) { return each.subcommand == parsed; });
    if (report.enabled() && !chosen.command->json) {
        throw badInput(jsonRefused(chosen.command->name));
    }
    checkGlobalOptions(global);
    progressShown() = !global.quiet;
    localplatform::Config config = platformConfig(global);
    // The store commands log, each, to a file of their own name.
    config.storeLogName = chosen.command->logName;
    chosen.run(config, report);
}

// Parses the command line and runs its command; returns the exit code. Every
// failure ends as one error line on stderr (see reportFailure).
int runCommandLine(CLI::App& app, const std::vector<Defined>& defined,
                   const GlobalOptions& global, int argc, char** argv, JsonReport& report) {
    try {
        if (std::optional<int> ended = parseCommandLine(app, argc, argv, report)) return *ended;
        runChosen(app, defined, global, report);
    } catch (const AgentError& error) {
        // A number refused while parsing is thrown before the command is
        // named.
        if (!app.get_subcommands().empty()) {
            report.setCommand(app.get_subcommands().front()->get_name());
        }
        if (!error.quiet()) reportFailure(error.what(), error.exitCode(), global.verbose > 0, report);
        return error.exitCode();
    } catch (const std::bad_alloc&) {
        reportFailure("out of memory", 1, global.verbose > 0, report);
        return 1;
    } catch (const std::exception& error) {
        reportFailure(error.what(), 1, global.verbose > 0, report);
        return 1;
    }
    report.printSuccess();
    return 0;
}

// pipeline-agent --completion bash: prints the completion script of the
// command line app holds (exit 0); another shell, or none, is bad input
// (exit 2).
int printCompletion(const CLI::App& app, int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[2], "bash") != 0) {
        std::fprintf(stderr, "pipeline-agent: error: --completion takes one shell: bash\n");
        std::fflush(stderr);
        return 2;
    }
    const std::string script = bashCompletion(app, "pipeline-agent");
    std::fwrite(script.data(), 1, script.size(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    secureStandardStreams();
    installInterruptHandling();
    CLI::App app{
        "pipeline-agent: backs a database file up over parallel streams and "
        "restores it, through libpipelinesetup on the embedded local platform."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "pipeline-agent " PIPELINESETUP_VERSION,
                         "print the agent's version and exit");
    // The shared options may also follow the command: a subcommand hands
    // the options it does not know to the application.
    app.fallthrough();
    GlobalOptions global;
    addSharedOptions(app, global);
    const std::vector<Defined> defined = addCommands(app);
    app.set_help_all_flag("--help-all",
                          "print the help of every command, the options for tests included");
    if (!asked(argc, argv, "--help-all")) hideTestingOptions(app);
    if (argc >= 2 && std::strcmp(argv[1], "--completion") == 0) {
        return printCompletion(app, argc, argv);
    }

    // Filled by the command that runs; prints only with --json. Whether it
    // was asked for is read before the parse, so that a command line that
    // does not parse gets its document too.
    JsonReport report(asked(argc, argv, "--json"));
    return runCommandLine(app, defined, global, argc, argv, report);
}
