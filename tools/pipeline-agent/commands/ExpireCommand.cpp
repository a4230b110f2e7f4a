// expire --keep-...: deletes the complete jobs that a retention policy does
// not keep (jobs/Retention), through the same crash-safe path as delete.

#include <CLI/CLI.hpp>

#include <climits>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/AgentError.h"
#include "base/Progress.h"
#include "commands/Command.h"
#include "commands/NumberOptions.h"
#include "jobs/AgentStore.h"
#include "jobs/JobDeletion.h"
#include "jobs/Retention.h"
#include "report/TextTable.h"

namespace {

struct ExpireOptions {
    RetentionPolicy policy;
    std::string within;   // --keep-within as given
    bool dryRun = false;  // show what would be kept and removed, change nothing
};

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
    return text;
}

void runExpire(ExpireOptions options, const localplatform::Config& config) {
    if (!options.within.empty()) options.policy.within = parseRetentionDuration(options.within);
    if (!options.policy.any()) {
        throw badInput("expire needs a policy: --keep-last, --keep-within, --keep-daily, "
                       "--keep-weekly or --keep-monthly");
    }
    openStoreFor(config,
                 options.dryRun ? localplatform::Access::ReadOnly
                                : localplatform::Access::ReadWrite,
                 false);
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    // Only complete jobs expire; a damaged one stays until it is deleted by
    // name, and one whose time cannot be read is kept.
    std::vector<RetentionJob> candidates;
    std::map<unsigned long long, const localplatform::JobRecord*> byId;
    std::vector<std::string> untimed;
    for (const auto& job : jobs) {
        if (job.state != "complete") continue;
        const auto created = parseCatalogTime(job.createdAt);
        if (!created) {
            untimed.push_back(std::to_string(job.jobId));
            continue;
        }
        candidates.push_back({job.jobId, *created});
        byId[job.jobId] = &job;
    }
    const std::vector<RetentionDecision> decisions = applyRetention(options.policy, candidates);
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"JOB", "CREATED", options.dryRun ? "WOULD" : "ACTION", "KEPT BY"});
    std::vector<unsigned long long> doomed;
    for (const RetentionDecision& decision : decisions) {
        const auto* job = byId[decision.job.jobId];
        rows.push_back({std::to_string(decision.job.jobId), job->createdAt,
                        decision.keep ? "keep" : "remove",
                        decision.keep ? joined(decision.rules) : "-"});
        if (!decision.keep) doomed.push_back(decision.job.jobId);
    }
    if (!decisions.empty()) printRows(rows, {true, false, false, false});
    for (const std::string& id : untimed) {
        std::printf("job %s kept: its creation time cannot be read\n", id.c_str());
    }
    const std::vector<PlannedDeletion> plan = planDeletion(doomed, jobs);
    unsigned long long bytes = 0;
    std::size_t files = 0;
    for (const PlannedDeletion& job : plan) {
        bytes += job.bytes;
        files += job.files.size();
    }
    const std::size_t kept = decisions.size() - doomed.size();
    if (options.dryRun) {
        say("dry run: would keep %zu complete job%s and remove %zu (%zu archive files, %llu "
            "bytes); nothing was changed",
            kept, kept == 1 ? "" : "s", doomed.size(), files, bytes);
        return;
    }
    if (plan.empty()) {
        say("kept %zu complete job%s; nothing to remove", kept, kept == 1 ? "" : "s");
        return;
    }
    const localplatform::DeletionResult result = runDeletion(plan, config);
    say("kept %zu complete job%s, deleted %zu (%zu archive files, %llu bytes)", kept,
        kept == 1 ? "" : "s", result.jobs.size(), result.removed.size(), result.bytes);
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
        return [options](localplatform::Config config, JsonReport&) {
            runExpire(*options, config);
        };
    };
    return command;
}
