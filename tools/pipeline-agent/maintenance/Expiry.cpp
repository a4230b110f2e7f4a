#include "maintenance/Expiry.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

#include "archive/RecoveryWindow.h"
#include "archive/WalArchive.h"
#include "base/Counted.h"
#include "base/AgentError.h"
#include "base/InputRules.h"
#include "base/Interrupt.h"
#include "base/Console.h"
#include "session/StoreSession.h"
#include "maintenance/ChainNeeds.h"
#include "maintenance/JobDeletion.h"
#include "maintenance/StoredChains.h"
#include "report/TextTable.h"
#include "platform/local/Interruption.h"
#include "platform/local/StoreSession.h"
#include "platform/local/StoreSettings.h"

namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : ",") + word;
    return text;
}

// The start segments of the base backups that stay once doomed go: every
// base backup the archive holds (complete, damaged, or of a time that
// cannot be read) but those.
std::vector<WalSegment> keptStarts(const WalArchive& archive,
                                   const std::vector<unsigned long long>& doomed) {
    const std::set<unsigned long long> going(doomed.begin(), doomed.end());
    std::vector<WalSegment> starts;
    for (const ArchivedBaseBackup& backup : archive.backups) {
        if (going.count(backup.jobId) != 0) continue;
        const std::optional<WalFileName> start = parseWalFileName(backup.cluster.startWal);
        if (!start || start->kind != WalFileKind::Segment) continue;
        try {
            starts.push_back(walSegmentOf(*start, WalSegmentSize(backup.cluster.segmentSize)));
        } catch (const AgentError&) {
        }
    }
    return starts;
}

// The complete WAL jobs, newest first as the table lists jobs.
std::vector<WalRetentionJob> completeWalJobs(
    const WalArchive& archive,
    const std::map<unsigned long long, const localplatform::JobRecord*>& complete) {
    std::vector<WalRetentionJob> jobs;
    for (const auto& [id, files] : archive.walJobs) {
        if (complete.count(id) != 0) jobs.push_back({id, files});
    }
    std::sort(jobs.begin(), jobs.end(), [&complete](const auto& a, const auto& b) {
        const std::string& at = complete.at(a.jobId)->createdAt;
        const std::string& bt = complete.at(b.jobId)->createdAt;
        return at != bt ? at > bt : a.jobId > b.jobId;
    });
    return jobs;
}

// Marks the decisions of the jobs that the rules remove and a job that
// stays refers to as kept, by "reference", and returns them with the jobs
// that refer to them. Every complete or damaged job of jobs stays but those
// the rules remove (a damaged job, one whose time cannot be read, a WAL job
// alike).
std::vector<KeptByReference> keptForReferrers(std::vector<RetentionDecision>& decisions,
                                              const std::vector<localplatform::JobRecord>& jobs,
                                              const StoredChains& chains) {
    std::vector<unsigned long long> doomed;
    for (const RetentionDecision& decision : decisions) {
        if (!decision.keep) doomed.push_back(decision.job.jobId);
    }
    std::set<unsigned long long> staying;
    for (const localplatform::JobRecord& job : jobs) {
        if (job.state == "complete" || job.state == "damaged") staying.insert(job.jobId);
    }
    for (const unsigned long long job : doomed) staying.erase(job);
    const std::vector<KeptByReference> kept = keepReferred(chains.references(), staying, doomed);
    for (const KeptByReference& each : kept) {
        for (RetentionDecision& decision : decisions) {
            if (decision.job.jobId != each.jobId) continue;
            decision.keep = true;
            decision.rules = {"reference"};
        }
    }
    return kept;
}

}  // namespace

Expiry expireJobs(const RetentionPolicy& policy, bool dryRun, bool table,
                  const localplatform::Config& config, const std::string& beforeDeleting) {
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    // Jobs of WAL files are no backups: no rule counts them; they go once
    // no base backup that stays needs any of their files. A manifest that
    // cannot be read leaves its job to the rules, as before manifests told
    // jobs apart (check names it).
    const WalArchive archive = readWalArchive(true);
    // Only complete jobs expire; a damaged one stays until it is deleted by
    // name, and one whose time cannot be read is kept.
    std::vector<RetentionJob> candidates;
    std::map<unsigned long long, const localplatform::JobRecord*> byId;
    std::map<unsigned long long, const localplatform::JobRecord*> walById;
    std::vector<std::string> untimed;
    for (const auto& job : jobs) {
        if (job.state != "complete") continue;
        if (archive.walJobs.count(job.jobId) != 0) {
            walById[job.jobId] = &job;
            continue;
        }
        const auto created = parseCatalogTime(job.createdAt);
        if (!created) {
            untimed.push_back(std::to_string(job.jobId));
            continue;
        }
        candidates.push_back({job.jobId, *created});
        byId[job.jobId] = &job;
    }
    std::vector<RetentionDecision> decisions = applyRetention(policy, candidates);
    // A job that stays keeps the jobs it refers to, whatever the rules say,
    // and a chain goes once none of its jobs stays.
    const StoredChains chains = readStoredChains(jobs);
    const std::vector<KeptByReference> referred = keptForReferrers(decisions, jobs, chains);
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"JOB", "CREATED", dryRun ? "WOULD" : "ACTION", "KEPT BY"});
    std::vector<unsigned long long> doomed;
    for (const RetentionDecision& decision : decisions) {
        const auto* job = byId[decision.job.jobId];
        rows.push_back({std::to_string(decision.job.jobId), job->createdAt,
                        decision.keep ? "keep" : "remove",
                        decision.keep ? joined(decision.rules) : "-"});
        if (!decision.keep) doomed.push_back(decision.job.jobId);
    }
    if (table && !decisions.empty()) printRows(rows, {true, false, false, false});
    for (const std::string& id : untimed) {
        if (table) std::printf("job %s kept: its creation time cannot be read\n", id.c_str());
    }
    for (const KeptByReference& kept : referred) {
        if (table) std::printf("%s\n", keepingLine(kept).c_str());
    }
    const std::vector<WalJobDecision> walDecisions = decideWalJobs(
        coverageOf(archive), keptStarts(archive, doomed), completeWalJobs(archive, walById));
    std::vector<std::vector<std::string>> walRows;
    walRows.push_back({"WAL JOB", "CREATED", dryRun ? "WOULD" : "ACTION", "KEPT BY"});
    for (const WalJobDecision& decision : walDecisions) {
        walRows.push_back({std::to_string(decision.jobId), walById[decision.jobId]->createdAt,
                           decision.keep ? "keep" : "remove", decision.why});
        if (!decision.keep) doomed.push_back(decision.jobId);
    }
    if (table && !walDecisions.empty()) printRows(walRows, {true, false, false, false});
    const std::vector<PlannedDeletion> plan = planDeletion(doomed, jobs);
    unsigned long long bytes = 0;
    std::size_t files = 0;
    for (const PlannedDeletion& job : plan) {
        bytes += job.bytes;
        files += job.files.size();
    }
    const std::size_t kept = decisions.size() + walDecisions.size() - doomed.size();
    if (dryRun) {
        say("dry run: would keep %zu complete job%s and remove %zu (%s, %llu bytes); nothing was "
            "changed",
            kept, kept == 1 ? "" : "s", doomed.size(), counted(files, "archive file").c_str(),
            bytes);
        return {doomed, {}};
    }
    if (plan.empty()) {
        say("kept %zu complete job%s; nothing to remove", kept, kept == 1 ? "" : "s");
        return {};
    }
    // A signal stops the deletion between two batches of jobs.
    onInterrupt([](int) { localplatform::interrupt(); });
    const localplatform::DeletionResult result =
        runDeletion(plan, chains, config, table, true, beforeDeleting);
    say("kept %zu complete job%s, deleted %zu (%s, %llu bytes)", kept, kept == 1 ? "" : "s",
        result.jobs.size(), counted(result.removed.size(), "archive file").c_str(), result.bytes);
    return {result.jobs, result.skipped};
}

std::string skippedJobs(const Expiry& expiry) {
    std::string ids;
    for (const unsigned long long id : expiry.skipped) {
        ids += (ids.empty() ? "" : ", ") + std::to_string(id);
    }
    return "skipped " + counted(expiry.skipped.size(), "job") + " in use (" + ids +
           "); deleted " + counted(expiry.deleted.size(), "job");
}

std::string describePolicy(const RetentionPolicy& policy) {
    std::string text;
    const auto add = [&text](const char* option, const std::string& value) {
        text += (text.empty() ? "" : " ") + std::string(option) + " " + value;
    };
    if (policy.last) add("--keep-last", std::to_string(policy.last));
    if (policy.within) add("--keep-within", std::to_string(policy.within->count() / 3600) + "h");
    if (policy.daily) add("--keep-daily", std::to_string(policy.daily));
    if (policy.weekly) add("--keep-weekly", std::to_string(policy.weekly));
    if (policy.monthly) add("--keep-monthly", std::to_string(policy.monthly));
    return text;
}

namespace {

constexpr const char* kPolicyFile = "retention.ini";

// The policy in text, read from path (named in messages).
RetentionPolicy parsePolicy(const std::string& path, const std::string& text) {
    RetentionPolicy policy;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto equals = line.find('=');
        const std::string key = line.substr(0, equals == std::string::npos ? 0 : equals);
        const std::string value = equals == std::string::npos ? "" : line.substr(equals + 1);
        const std::string option = "--" + key + " in " + path;
        if (key == "keep-last")
            policy.last = parseDecimalUnsigned(option, value, 1, ULONG_MAX);
        else if (key == "keep-within")
            policy.within = parseRetentionDuration(value);
        else if (key == "keep-daily")
            policy.daily = parseDecimalUnsigned(option, value, 1, ULONG_MAX);
        else if (key == "keep-weekly")
            policy.weekly = parseDecimalUnsigned(option, value, 1, ULONG_MAX);
        else if (key == "keep-monthly")
            policy.monthly = parseDecimalUnsigned(option, value, 1, ULONG_MAX);
        else
            throw badInput(path + " holds a line that is no retention rule: " + line);
    }
    if (!policy.any()) throw badInput(path + " holds no retention rule");
    return policy;
}

}  // namespace

// Through the store's storage, which replaces the file whole (see
// keepStoreSetting), with the store's modes and group.
void savePolicy(const RetentionPolicy& policy) {
    std::string text = "# the retention policy that backup --expire applies\n";
    if (policy.last) text += "keep-last=" + std::to_string(policy.last) + "\n";
    if (policy.within)
        text += "keep-within=" + std::to_string(policy.within->count() / 3600) + "h\n";
    if (policy.daily) text += "keep-daily=" + std::to_string(policy.daily) + "\n";
    if (policy.weekly) text += "keep-weekly=" + std::to_string(policy.weekly) + "\n";
    if (policy.monthly) text += "keep-monthly=" + std::to_string(policy.monthly) + "\n";
    try {
        localplatform::keepStoreSetting(kPolicyFile, text);
    } catch (const localplatform::StoreError& error) {
        if (error.kind() != localplatform::StoreError::Kind::Failed) throw badInput(error.what());
        throw jobFailed("cannot keep the retention policy: " + std::string(error.what()));
    }
}

std::optional<RetentionPolicy> storedPolicy() {
    std::optional<std::string> text;
    try {
        // A policy is a few lines; more is no file this agent wrote.
        text = localplatform::storeSetting(kPolicyFile, 64 * 1024);
    } catch (const localplatform::StoreError& error) {
        throw badInput(error.what());
    }
    if (!text) return std::nullopt;
    return parsePolicy(localplatform::storeSettingPath(kPolicyFile), *text);
}

std::optional<RetentionPolicy> storedPolicy(const localplatform::Config& config) {
    try {
        localplatform::openStore(config, localplatform::Access::ReadOnly, false);
    } catch (const localplatform::StoreError& error) {
        if (error.kind() == localplatform::StoreError::Kind::NotFound) return std::nullopt;
        if (error.kind() == localplatform::StoreError::Kind::Failed) throw badInput(error.what());
        throwStoreError(error, config);
    }
    struct Closing {
        ~Closing() { localplatform::closeStore(); }
    } closing;
    return storedPolicy();
}
