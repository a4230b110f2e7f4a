#include "maintenance/JobDeletion.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "archive/RecoveryWindow.h"
#include "base/AgentError.h"
#include "base/Counted.h"
#include "maintenance/ChainNeeds.h"
#include "maintenance/ReferenceGuard.h"
#include "session/StoreSession.h"
#include "manifest/Manifest.h"
#include "platform/local/StoreSession.h"

std::vector<PlannedDeletion> planDeletion(const std::vector<unsigned long long>& jobIds,
                                          const std::vector<localplatform::JobRecord>& jobs) {
    std::map<unsigned long long, const localplatform::JobRecord*> byId;
    for (const auto& job : jobs) byId[job.jobId] = &job;
    const std::string store = localplatform::storeDirectory();
    std::vector<PlannedDeletion> plan;
    std::set<unsigned long long> seen;
    for (const unsigned long long id : jobIds) {
        if (!seen.insert(id).second) continue;
        const auto found = byId.find(id);
        if (found == byId.end() || found->second->state == "unknown") {
            throw badInput("the store " + store + " has no job " + std::to_string(id));
        }
        const localplatform::JobRecord& job = *found->second;
        if (job.state == "running") {
            throw badInput("job " + std::to_string(id) + " is running" +
                           (job.writerAlive ? "; it is deleted only once complete"
                                            : " but its writer is gone; `cleanup` removes it"));
        }
        if (job.state != "complete" && job.state != "damaged" && job.state != "deleting") {
            throw badInput("job " + std::to_string(id) + " is " + job.state +
                           ", not complete; `cleanup` removes what failed and crashed jobs left");
        }
        PlannedDeletion planned;
        planned.jobId = id;
        planned.state = job.state;
        planned.createdAt = job.createdAt;
        planned.files = job.files;
        for (const auto& file : job.files) planned.bytes += file.size;
        plan.push_back(std::move(planned));
    }
    return plan;
}

namespace {

// The start segment of a base backup; nothing when its record names none.
std::optional<WalSegment> startOf(const ArchivedBaseBackup& backup) {
    const std::optional<WalFileName> start = parseWalFileName(backup.cluster.startWal);
    if (!start || start->kind != WalFileKind::Segment) return std::nullopt;
    try {
        return walSegmentOf(*start, WalSegmentSize(backup.cluster.segmentSize));
    } catch (const AgentError&) {
        return std::nullopt;
    }
}

}  // namespace

std::string neededWalRefusal(const WalArchive& archive,
                             const std::vector<unsigned long long>& deleting) {
    const std::set<unsigned long long> going(deleting.begin(), deleting.end());
    std::vector<std::pair<unsigned long long, WalSegment>> staying;
    for (const ArchivedBaseBackup& backup : archive.backups) {
        const std::optional<WalSegment> start = startOf(backup);
        if (going.count(backup.jobId) == 0 && start) staying.emplace_back(backup.jobId, *start);
    }
    if (staying.empty()) return "";
    const WalCoverage coverage = coverageOf(archive);
    std::vector<WalSegment> starts;
    for (const auto& each : staying) starts.push_back(each.second);
    const std::vector<std::string> keep = coverage.neededFrom(starts).keep;
    const std::set<std::string> needed(keep.begin(), keep.end());
    for (const unsigned long long id : deleting) {
        const auto job = archive.walJobs.find(id);
        if (job == archive.walJobs.end()) continue;
        for (const std::string& file : job->second) {
            if (needed.count(file) == 0) continue;
            unsigned long long by = staying.front().first;
            for (const auto& [backup, start] : staying) {
                const std::vector<std::string> its = coverage.neededFrom({start}).keep;
                if (std::find(its.begin(), its.end(), file) != its.end()) {
                    by = backup;
                    break;
                }
            }
            return "job " + std::to_string(id) + " holds WAL that base backup job " +
                   std::to_string(by) + " needs (" + file +
                   "); expire deletes it once no base backup kept needs it";
        }
    }
    return "";
}

void refuseDeletingNeededWal(const std::vector<unsigned long long>& deleting) {
    const std::string refused = neededWalRefusal(readWalArchive(true), deleting);
    if (!refused.empty()) throw badInput(refused);
}

void refuseDeletingReferredJobs(const std::vector<unsigned long long>& deleting,
                                const std::vector<localplatform::JobRecord>& jobs,
                                const StoredChains& chains) {
    std::set<unsigned long long> staying;
    for (const localplatform::JobRecord& job : jobs) {
        if (job.state == "complete" || job.state == "damaged") staying.insert(job.jobId);
    }
    const std::string refused = referredJobRefusal(chains.references(), deleting, staying);
    if (!refused.empty()) throw badInput(refused);
}

void printPlan(const std::vector<PlannedDeletion>& plan, const char* lead) {
    for (const PlannedDeletion& job : plan) {
        std::printf("%s job %llu (%s, created %s): %s, %llu bytes\n", lead, job.jobId,
                    job.state.c_str(), job.createdAt.c_str(),
                    counted(job.files.size(), "archive file").c_str(), job.bytes);
        for (const auto& file : job.files) {
            std::printf(
                "  %s %s (stream %lu, %llu bytes) and its description\n", file.path.c_str(),
                archiveFileName({file.stream, file.trellanId, file.groupNumber, file.afileId})
                    .c_str(),
                file.stream, file.size);
        }
        std::printf("  its completion marker and manifest in %s/jobs, its catalog entries\n",
                    localplatform::storeDirectory().c_str());
    }
    std::fflush(stdout);
}

localplatform::DeletionResult runDeletion(const std::vector<PlannedDeletion>& plan,
                                          const StoredChains& chains,
                                          const localplatform::Config& config, bool print,
                                          bool skipInUse, const std::string& beforeDeleting) {
    std::vector<unsigned long long> planned;
    for (const PlannedDeletion& job : plan) planned.push_back(job.jobId);
    // A job before the jobs it refers to: a deletion stopped between two
    // batches leaves no job referring to one that went.
    const std::vector<unsigned long long> ids = referrersFirst(chains.references(), planned);
    ReferenceGuard guard(chains);
    // Testing: a command run with /bin/sh, and waited for, between the plan
    // and the deletion.
    if (!beforeDeleting.empty() && std::system(beforeDeleting.c_str()) != 0) {
        throw jobFailed("the test command before deleting failed; nothing was deleted");
    }
    localplatform::DeletionResult result;
    try {
        // Every job of the plan was listed: one gone since went by another
        // command's hand.
        localplatform::DeletionOptions options;
        options.goneIsDone = true;
        options.skipInUse = skipInUse;
        options.beforeMarking = [&guard](const std::vector<unsigned long long>& locked) {
            guard.requireNoneReferred(locked);
        };
        result = localplatform::deleteJobs(ids, options);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    std::map<unsigned long long, std::pair<std::size_t, unsigned long long>> removed;
    for (const auto& file : result.removed) {
        removed[file.jobId].first += 1;
        removed[file.jobId].second += file.size;
    }
    for (const unsigned long long id : print ? result.jobs : std::vector<unsigned long long>()) {
        std::printf("deleted job %llu: %s, %llu bytes\n", id,
                    counted(removed[id].first, "archive file").c_str(), removed[id].second);
    }
    for (const unsigned long long id : print ? result.deletedElsewhere
                                             : std::vector<unsigned long long>()) {
        std::printf("job %llu was deleted by another command meanwhile\n", id);
    }
    for (const unsigned long long id : print ? result.skipped : std::vector<unsigned long long>()) {
        std::printf("skipped job %llu: it is in use (a restore reads it, or another command "
                    "deletes it)\n",
                    id);
    }
    std::fflush(stdout);
    return result;
}
