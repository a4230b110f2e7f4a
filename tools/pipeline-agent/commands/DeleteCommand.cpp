// delete JOB... [--yes] [--dry-run]: removes complete jobs on purpose, with
// every file the store keeps of them (maintenance/JobDeletion, and the platform's
// deleteJobs for the crash-safe order).

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "base/Counted.h"
#include "base/AgentError.h"
#include "base/InputRules.h"
#include "base/Interrupt.h"
#include "base/Console.h"
#include "commands/Command.h"
#include "session/StoreSession.h"
#include "maintenance/JobDeletion.h"
#include "maintenance/StoredChains.h"
#include "platform/local/Interruption.h"
#include "platform/local/StoreSession.h"

namespace {

struct DeleteOptions {
    std::vector<std::string> jobs;
    bool yes = false;     // no question asked
    bool dryRun = false;  // show what would go, change nothing
    std::string beforeDeleting;  // testing: a command run between the plan and the deletion
};

// Asks on the terminal; true for "y" or "yes".
bool confirmed(const std::vector<PlannedDeletion>& plan) {
    unsigned long long bytes = 0;
    std::size_t files = 0;
    for (const PlannedDeletion& job : plan) {
        bytes += job.bytes;
        files += job.files.size();
    }
    std::fprintf(stderr, "delete %s (%s, %llu bytes) for good? [y/N] ",
                 counted(plan.size(), "job").c_str(), counted(files, "archive file").c_str(),
                 bytes);
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
}

void runDelete(const DeleteOptions& options, const localplatform::Config& config) {
    std::vector<unsigned long long> ids;
    for (const std::string& text : options.jobs) {
        ids.push_back(parseDecimalUnsigned("JOB", text, 1, ULLONG_MAX));
    }
    const bool terminal = ::isatty(STDIN_FILENO) && ::isatty(STDERR_FILENO);
    if (!options.dryRun && !options.yes && !terminal) {
        throw badInput(
            "delete removes backups for good: give --yes to confirm it off a "
            "terminal (or --dry-run to see what would go)");
    }
    openStoreFor(
        config, options.dryRun ? localplatform::Access::ReadOnly : localplatform::Access::ReadWrite,
        false);
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    const std::vector<PlannedDeletion> plan = planDeletion(ids, jobs);
    refuseDeletingNeededWal(ids);
    // A job that a job staying refers to is refused here, and once more
    // under the deletion's locks (runDeletion), where a backup completed
    // since is seen too.
    const StoredChains chains = readStoredChains(jobs);
    refuseDeletingReferredJobs(ids, jobs, chains);
    if (options.dryRun) {
        printPlan(plan, "would delete");
        say("dry run: nothing was changed");
        return;
    }
    if (!options.yes) {
        printPlan(plan, "to delete:");
        if (!confirmed(plan)) throw jobFailed("not confirmed; nothing was deleted");
    }
    // A signal stops the deletion between two batches of jobs.
    onInterrupt([](int) { localplatform::interrupt(); });
    const localplatform::DeletionResult result =
        runDeletion(plan, chains, config, true, false, options.beforeDeleting);
    say("deleted %s, %s, %llu bytes from %s", counted(result.jobs.size(), "job").c_str(),
        counted(result.removed.size(), "archive file").c_str(), result.bytes,
        localplatform::storeDirectory().c_str());
}

}  // namespace

Command deleteCommand() {
    Command command;
    command.name = "delete";
    command.description = "delete complete jobs on purpose, with all their files";
    command.json = false;
    command.logName = "delete";
    command.define = [](CLI::App& app) -> CommandRun {
        auto options = std::make_shared<DeleteOptions>();
        app.add_option("JOB", options->jobs, "the jobs to delete")->required();
        app.add_flag("--yes", options->yes, "do not ask (needed off a terminal)");
        app.add_flag("--dry-run", options->dryRun,
                     "show the jobs, archive files and bytes that would go; change nothing");
        app.add_option("--test-before-deleting", options->beforeDeleting,
                       "run COMMAND (with /bin/sh) once the jobs are listed, before deleting "
                       "them, and wait for it")
            ->type_name("COMMAND")
            ->group("Testing");
        return
            [options](localplatform::Config config, JsonReport&) { runDelete(*options, config); };
    };
    return command;
}
