// list [--files] [--job J]: the store's jobs and archive files, and what the
// complete jobs hold (maintenance/StoreListing, maintenance/JobContents).

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <memory>

#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "maintenance/JobContents.h"
#include "maintenance/StoreListing.h"

namespace {

struct ListOptions {
    bool files = false;          // also every complete job's files
    unsigned long long job = 0;  // this job alone, with its files; 0: every job
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
        app.add_flag("--files", options->files,
                     "also list every complete job's files and totals, from the manifests the "
                     "store keeps");
        addUnsignedNumber(&app, "--job", options->job, 1, ULLONG_MAX,
                          "list this job alone, its archive files and its files");
        return [options](localplatform::Config config, JsonReport& report) {
            listStore(config, report, options->job);
            if (!options->files && options->job == 0) return;
            if (!report.enabled()) std::printf("\n");
            printJobContents(config, report, options->job);
        };
    };
    return command;
}
