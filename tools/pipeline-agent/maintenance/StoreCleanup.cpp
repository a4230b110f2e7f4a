#include "maintenance/StoreCleanup.h"

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "base/Console.h"
#include "inputs/SqliteSnapshot.h"
#include "jobs/restore/RestoreJob.h"
#include "maintenance/RecordName.h"
#include "manifest/ResumeRecord.h"
#include "outputs/PartialOutputs.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreSession.h"
#include "session/StoreSession.h"

namespace {

// The jobs that still run after the cleanup: their records of what they
// wrote stay.
std::set<unsigned long long> runningJobs(const localplatform::Config& config) {
    std::set<unsigned long long> running;
    try {
        for (const auto& job : localplatform::listJobs()) {
            if (job.state == "running") running.insert(job.jobId);
        }
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    return running;
}

}  // namespace

void cleanUpStore(const localplatform::Config& config) {
    openStoreFor(config, localplatform::Access::ReadWrite, false);
    localplatform::CleanupResult result;
    try {
        result = localplatform::cleanup();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    for (const auto& file : result.removed) {
        std::printf("removed %s (job %llu stream %lu, %s)\n", recordName(file).c_str(), file.jobId,
                    file.stream, file.state == "writing" ? "incomplete" : file.state.c_str());
    }
    for (const unsigned long long job : result.jobsFailed) {
        std::printf("job %llu did not complete; marked failed\n", job);
    }
    for (const unsigned long long job : result.jobsDeleted) {
        std::printf("finished deleting job %llu, whose deletion was cut short\n", job);
    }
    for (const auto& path : result.abandonedWrites) {
        std::printf("dropped the unfinished upload of %s\n", path.c_str());
    }
    std::vector<std::string> refused = result.refused;
    const auto partial = sweepPartialOutputs(partialOutputDirectory(), &refused);
    for (const auto& file : partial) std::printf("removed partial output %s\n", file.c_str());
    const auto snapshots = sweepSnapshots(snapshotDirectory());
    for (const auto& file : snapshots) {
        std::printf("removed SQLite snapshot tmp/%s of a backup that did not end\n", file.c_str());
    }
    const auto records = sweepResumeRecords(resumeRecordDirectory(), runningJobs(config));
    for (const auto& file : records) {
        std::printf("removed resume/%s, the record of a backup that did not end\n", file.c_str());
    }
    if (result.removed.empty() && result.jobsFailed.empty() && result.jobsDeleted.empty() &&
        partial.empty() && snapshots.empty() && result.abandonedWrites.empty() && records.empty()) {
        std::printf("nothing to remove\n");
    }
    std::fflush(stdout);
    for (const auto& line : refused) say("left alone: %s", line.c_str());
}
