#include "jobs/restore/RestoreSource.h"

#include "base/AgentError.h"
#include "base/Console.h"
#include "session/StoreSession.h"
#include "jobs/restore/RestorableArchives.h"
#include "manifest/StoredManifest.h"
#include "platform/local/StoreSession.h"

namespace {

// Refuses a job the store does not have complete. Unless strict, only a job
// still running or crashed (its writer gone before it completed) is refused:
// of one the catalog lacks, has failed or is deleting, the archive files'
// own checks, the job's hold and the platform (which opens no file of a
// failed job) say more.
void requireCompleteJob(unsigned long long jobId, const localplatform::Config& config,
                        bool strict) {
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
        if (!strict && job.state != "running") return;
        throw badInput("job " + std::to_string(jobId) + " of the store " + store + " is " +
                       (job.state == "running" && !job.writerAlive ? "crashed" : job.state) +
                       ", not complete; it cannot be restored");
    }
    if (strict) throw badInput("the store " + store + " has no job " + std::to_string(jobId));
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
    requireCompleteJob(options.job, config, true);
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

std::vector<std::unique_ptr<localplatform::JobReadHold>> openJobForRestore(
    const Manifest& manifest, const std::vector<const ManifestFile*>& needed, bool givenAlone,
    const std::string& path, const localplatform::Config& config) {
    if (!localplatform::storeIsOpen()) {
        openStoreFor(config, localplatform::Access::ReadOnly, false);
    }
    if (givenAlone) {
        // A job whose archive files are all closed may still have crashed
        // before it completed, or still be running.
        requireCompleteJob(manifest.jobId, config, false);
        if (!requireSameAsStored(manifest, path)) {
            say("the store keeps no manifest of job %llu (a backup by an older agent); restoring "
                "from %s alone",
                manifest.jobId, path.c_str());
        }
    }
    std::vector<std::unique_ptr<localplatform::JobReadHold>> holds;
    try {
        holds.push_back(localplatform::holdJobForReading(manifest.jobId));
        for (const ManifestReference& reference : manifest.references) {
            holds.push_back(localplatform::holdJobForReading(reference.jobId));
        }
    } catch (const localplatform::StoreError& error) {
        throwStoreError(error, config);
    }
    if (holds[0]->state() == "damaged") {
        requireWholeParts(needed, manifest.jobId);
    } else {
        requireArchiveData(manifest);
    }
    for (std::size_t i = 1; i < holds.size(); ++i) {
        const unsigned long long job = manifest.references[i - 1].jobId;
        if (holds[i]->state() != "complete") {
            throw jobFailed("job " + std::to_string(manifest.jobId) + " refers to job " +
                            std::to_string(job) + ", which is " +
                            (holds[i]->state().empty() ? "not in the store" : holds[i]->state()) +
                            "; it cannot be restored");
        }
        requireArchiveData(jobView(manifest, job));
    }
    return holds;
}
