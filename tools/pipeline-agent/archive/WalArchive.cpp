#include "archive/WalArchive.h"

#include <optional>

#include "archive/JobSummaries.h"
#include "base/AgentError.h"
#include "manifest/StoredManifest.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/StoreSession.h"

namespace {

void noteCluster(WalArchive& archive, unsigned long long jobId, const std::string& identifier,
                 uint64_t segmentSize) {
    if (archive.systemIdentifier.empty()) {
        archive.systemIdentifier = identifier;
        archive.segmentSize = segmentSize;
    } else if (identifier != archive.systemIdentifier) {
        archive.foreignJobs.push_back(jobId);
    }
}

}  // namespace

WalArchive readWalArchive(bool passOver) {
    std::vector<localplatform::JobRecord> jobs;
    try {
        jobs = localplatform::listJobs();
    } catch (const localplatform::StoreError& error) {
        throw jobFailed(std::string("cannot list the store's jobs: ") + error.what());
    }
    WalArchive archive;
    const JobSummaries summaries = JobSummaries::ofOpenStore();
    for (const localplatform::JobRecord& job : jobs) {
        if (job.state != "complete" && job.state != "damaged") continue;
        std::optional<JobSummary> summary = summaries.load(job.jobId);
        if (!summary) {
            std::optional<Manifest> manifest;
            try {
                manifest = storedManifest(job.jobId);
            } catch (const AgentError& error) {
                if (!passOver) throw;
                archive.unreadable.push_back(job.jobId);
                continue;
            }
            if (!manifest) continue;
            summary = summaryOf(*manifest);
            summaries.save(job.jobId, *summary);
        }
        if (summary->cluster) {
            noteCluster(archive, job.jobId, summary->cluster->systemIdentifier,
                        summary->cluster->segmentSize);
            archive.backups.push_back({job.jobId, *summary->cluster});
        }
        if (!summary->wal) continue;
        noteCluster(archive, job.jobId, summary->wal->systemIdentifier, summary->wal->segmentSize);
        archive.histories.insert(summary->wal->histories.begin(), summary->wal->histories.end());
        for (const JobSummary::File& file : summary->files) {
            archive.files.emplace(file.name, ArchivedWal{file.name, job.jobId, file.size,
                                                         file.sha256, summary->createdAt});
        }
        std::vector<std::string>& names = archive.walJobs[job.jobId];
        for (const JobSummary::File& file : summary->files) names.push_back(file.name);
    }
    return archive;
}
