#include "jobs/RestoreSource.h"

#include "base/AgentError.h"
#include "base/Progress.h"
#include "jobs/AgentStore.h"
#include "manifest/StoredManifest.h"

namespace {

// Refuses a job the store does not have complete.
void requireCompleteJob(unsigned long long jobId, const localplatform::Config& config) {
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    const std::string store = localplatform::storeDirectory();
    for (const localplatform::JobRecord& job : jobs) {
        if (job.jobId != jobId) continue;
        // A damaged job restores file by file where its archive files are whole.
        if (job.state == "complete" || job.state == "damaged") return;
        throw badInput("job " + std::to_string(jobId) + " of the store " + store + " is " +
                       (job.state == "running" && !job.writerAlive ? "crashed" : job.state) +
                       ", not complete; it cannot be restored");
    }
    throw badInput("the store " + store + " has no job " + std::to_string(jobId));
}

}  // namespace

Manifest manifestToRestore(RestoreOptions& options, const localplatform::Config& config) {
    if (options.job == 0) {
        if (options.manifest.empty()) throw badInput("restore needs a manifest or --job JOB");
        return loadManifest(options.manifest);
    }
    // An outside manifest is read first: a bad one is refused before the
    // store is touched.
    std::optional<Manifest> given;
    if (!options.manifest.empty()) given = loadManifest(options.manifest);
    openStoreFor(config, localplatform::Access::ReadOnly, false);
    requireCompleteJob(options.job, config);
    std::optional<Manifest> stored = storedManifest(options.job);
    if (!stored) {
        throw badInput("the store " + localplatform::storeDirectory() +
                       " keeps no manifest of job " + std::to_string(options.job) + " (" +
                       storedManifestPath(options.job) +
                       " is missing); restore it from its manifest file");
    }
    if (given && !agreesWithStored(*given, *stored)) {
        throw badInput("manifest " + options.manifest + " differs from the store's copy of job " +
                       std::to_string(options.job) + " (" + storedManifestPath(options.job) + ")" +
                       (given->jobId != options.job
                            ? "; it is of job " + std::to_string(given->jobId)
                            : "; it was altered"));
    }
    if (options.manifest.empty()) options.manifest = storedManifestPath(options.job);
    return *stored;
}

void checkAgainstStoredCopy(const Manifest& manifest, const std::string& path) {
    if (!requireSameAsStored(manifest, path)) {
        say("the store keeps no manifest of job %llu (a backup by an older agent); restoring "
            "from %s alone",
            manifest.jobId, path.c_str());
    }
}

std::unique_ptr<localplatform::JobReadHold> holdJobForRestore(unsigned long long jobId,
                                                              const localplatform::Config& config) {
    try {
        return localplatform::holdJobForReading(jobId);
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
}
