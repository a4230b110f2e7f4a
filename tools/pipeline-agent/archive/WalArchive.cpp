#include "archive/WalArchive.h"

#include <optional>

#include "base/AgentError.h"
#include "manifest/StoredManifest.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"

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
    for (const localplatform::JobRecord& job : jobs) {
        if (job.state != "complete" && job.state != "damaged") continue;
        std::optional<Manifest> manifest;
        try {
            manifest = storedManifest(job.jobId);
        } catch (const AgentError& error) {
            if (!passOver) throw;
            archive.unreadable.push_back(job.jobId);
            continue;
        }
        if (!manifest) continue;
        if (manifest->cluster) {
            noteCluster(archive, job.jobId, manifest->cluster->systemIdentifier,
                        manifest->cluster->segmentSize);
            archive.backups.push_back({job.jobId, *manifest->cluster});
        }
        if (!manifest->wal) continue;
        noteCluster(archive, job.jobId, manifest->wal->systemIdentifier,
                    manifest->wal->segmentSize);
        archive.histories.insert(manifest->wal->histories.begin(), manifest->wal->histories.end());
        for (const ManifestFile& file : manifest->files) {
            archive.files.emplace(file.name, ArchivedWal{file.name, job.jobId, file.size,
                                                         file.sha256, manifest->createdAt});
        }
        std::vector<std::string>& names = archive.walJobs[job.jobId];
        for (const ManifestFile& file : manifest->files) names.push_back(file.name);
    }
    return archive;
}
