// expire --keep-...: deletes the complete jobs that a retention policy does
// not keep (maintenance/Retention), through the same crash-safe path as delete.

#include <CLI/CLI.hpp>

#include <climits>
#include <memory>
#include <string>

#include "base/AgentError.h"
#include "base/Console.h"
#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "session/StoreSession.h"
#include "maintenance/Expiry.h"
#include "maintenance/JobDeletion.h"

namespace {

struct ExpireOptions {
    RetentionPolicy policy;
    std::string within;   // --keep-within as given
    bool dryRun = false;  // show what would be kept and removed, change nothing
    bool save = false;    // keep the policy in the store, for backup --expire
    std::string beforeDeleting;  // testing: a command run between the plan and the deletion
};

void runExpire(ExpireOptions options, const localplatform::Config& config) {
    if (!options.within.empty()) options.policy.within = parseRetentionDuration(options.within);
    if (!options.policy.any()) {
        throw badInput(
            "expire needs a policy: --keep-last, --keep-within, --keep-daily, "
            "--keep-weekly or --keep-monthly");
    }
    if (options.save && options.dryRun)
        throw badInput("--save keeps a policy; a dry run changes nothing");
    openStoreFor(
        config, options.dryRun ? localplatform::Access::ReadOnly : localplatform::Access::ReadWrite,
        false);
    if (options.save) {
        savePolicy(options.policy);
        say("kept the policy %s for backup --expire", describePolicy(options.policy).c_str());
    }
    const Expiry expiry =
        expireJobs(options.policy, options.dryRun, true, config, options.beforeDeleting);
    if (!expiry.skipped.empty()) throw partlyDone("expire " + skippedJobs(expiry));
}

}  // namespace

Command expireCommand() {
    Command command;
    command.name = "expire";
    command.description = "delete the complete jobs that a retention policy does not keep";
    command.json = false;
    command.logName = "expire";
    command.define = [](CLI::App& app) -> CommandRun {
        auto options = std::make_shared<ExpireOptions>();
        addUnsignedNumber(&app, "--keep-last", options->policy.last, 1, ULONG_MAX,
                          "keep the newest N complete jobs");
        app.add_option("--keep-within", options->within,
                       "keep the jobs made within this long of the newest (12h, 7d, 2w)")
            ->type_name("DURATION");
        addUnsignedNumber(&app, "--keep-daily", options->policy.daily, 1, ULONG_MAX,
                          "keep the newest job of each of the last N days that have one");
        addUnsignedNumber(&app, "--keep-weekly", options->policy.weekly, 1, ULONG_MAX,
                          "keep the newest job of each of the last N weeks that have one");
        addUnsignedNumber(&app, "--keep-monthly", options->policy.monthly, 1, ULONG_MAX,
                          "keep the newest job of each of the last N months that have one");
        app.add_flag("--dry-run", options->dryRun,
                     "list what would be kept (and by which rule) and removed; change nothing");
        app.add_flag("--save", options->save,
                     "also keep the policy in the store, which backup --expire applies");
        app.add_option("--test-before-deleting", options->beforeDeleting,
                       "run COMMAND (with /bin/sh) once the jobs to remove are listed, before "
                       "deleting them, and wait for it")
            ->type_name("COMMAND")
            ->group("Testing");
        return
            [options](localplatform::Config config, JsonReport&) { runExpire(*options, config); };
    };
    return command;
}
