#include "maintenance/StoredChains.h"

#include "archive/JobSummaries.h"
#include "base/AgentError.h"
#include "manifest/StoredManifest.h"

JobReferences StoredChains::references() const {
    JobReferences references;
    for (const auto& [job, links] : jobs) {
        if (!links.references.empty()) references[job] = links.references;
    }
    return references;
}

void readStoredChains(const std::vector<localplatform::JobRecord>& jobs, StoredChains& chains) {
    const JobSummaries summaries = JobSummaries::ofOpenStore();
    for (const localplatform::JobRecord& job : jobs) {
        if (job.state != "complete" && job.state != "damaged") continue;
        if (chains.jobs.count(job.jobId) != 0) continue;
        std::optional<JobSummary> summary = summaries.load(job.jobId);
        if (!summary) {
            std::optional<Manifest> manifest;
            try {
                manifest = storedManifest(job.jobId);
            } catch (const AgentError& error) {
                // A store that cannot be read ends the command; a manifest
                // that does not parse is check's to name.
                if (error.kind() != AgentError::Kind::BadInput) throw;
                continue;
            }
            if (!manifest) continue;
            summary = summaryOf(*manifest);
            summaries.save(job.jobId, *summary);
        }
        chains.jobs[job.jobId] = {summary->chain, summary->references};
    }
}

StoredChains readStoredChains(const std::vector<localplatform::JobRecord>& jobs) {
    StoredChains chains;
    readStoredChains(jobs, chains);
    return chains;
}
