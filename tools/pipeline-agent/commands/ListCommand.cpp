// list [--files] [--job J] [--wal]: the store's jobs and archive files, what
// the complete jobs hold (maintenance/StoreListing, maintenance/JobContents),
// or what its WAL archive covers (maintenance/WalListing).

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <memory>

#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "maintenance/JobContents.h"
#include "maintenance/StoreListing.h"
#include "maintenance/WalListing.h"

namespace {

struct ListOptions {
    bool files = false;          // also every complete job's files
    unsigned long long job = 0;  // this job alone, with its files; 0: every job
    bool wal = false;            // the WAL archive instead of the jobs
};

}  // namespace

Command listCommand() {
    Command command;
    command.name = "list";
    command.description = "list the store's jobs and archive files";
    command.json = true;
    command.logName = "list";
    command.define = [](CLI::App& app) -> CommandRun {
        auto options = std::make_shared<ListOptions>();
        CLI::Option* files =
            app.add_flag("--files", options->files,
                         "also list every complete job's files and totals, from the manifests the "
                         "store keeps");
        CLI::Option* job = addUnsignedNumber(&app, "--job", options->job, 1, ULLONG_MAX,
                                             "list this job alone, its archive files and its files");
        app.add_flag("--wal", options->wal,
                     "list the WAL archive instead: each timeline's segments and gaps, each "
                     "PostgreSQL base backup and how far it can be recovered")
            ->excludes(files)
            ->excludes(job);
        return [options](localplatform::Config config, JsonReport& report) {
            if (options->wal) {
                listWal(config, report);
                return;
            }
            listStore(config, report, options->job);
            if (options->files || options->job != 0) {
                if (!report.enabled()) std::printf("\n");
                printJobContents(config, report, options->job);
            }
            // The whole store's document tells how far its PostgreSQL
            // backups can be recovered, when it archives WAL.
            if (options->job == 0) addRecoveryWindow(report);
        };
    };
    return command;
}
