#include "jobs/restore/RestoreRequests.h"

#include <utility>
#include <vector>

#include "base/AgentError.h"
#include "base/Console.h"
#include "jobs/restore/RestorableArchives.h"
#include "platform/local/StoreSession.h"
#include "restore/RestorePipelineSetup.h"

namespace {

// Ends the restore on the media side however the job ends.
class RestoreSession {
public:
    explicit RestoreSession(RestorePipelineSetup& restore) : m_restore(restore) {}
    ~RestoreSession() {
        if (!m_ended) end();
    }
    RestoreSession(const RestoreSession&) = delete;
    RestoreSession& operator=(const RestoreSession&) = delete;

    // Closes the streams and shuts the restore down; false when a close failed.
    bool end() {
        m_ended = true;
        const bool closed = m_restore.closePipeline();
        m_restore.shutDownPipeline();
        return closed;
    }

private:
    RestorePipelineSetup& m_restore;
    bool m_ended = false;
};

// The list for a request: the set's archive files, always the same, each
// sought to first's part in it. readAll asks the media side to stream on to
// the end of each archive file.
std::vector<RestoreArchiveInfo> requestList(const ManifestFile& first, bool readAll) {
    std::vector<RestoreArchiveInfo> list;
    for (const ManifestShare& share : first.shares) {
        RestoreArchiveInfo info;
        info.trellanId = share.archive.trellanId;
        info.archiveObjectParam = static_cast<int64_t>(share.archive.stream);
        info.afileId = share.archive.afileId;
        info.groupNumber = share.archive.groupNumber;
        info.seekOffset = share.seekOffset;
        info.readAll = readAll;
        list.push_back(info);
    }
    return list;
}

// Sets restore up for request. A setup that fails stops the job with why.
void setUpRequest(RestorePipelineSetup& restore, const RestoreRequest& request,
                  JobReport& report, const Manifest& manifest,
                  const localplatform::Config& config) {
    restore.setRestoreArchiveFileInfoList(requestList(*request.first, request.readAll));
    report.library().restoreSetUp();
    const bool setUp = restore.setupPipeline();
    report.library().callEnded();
    if (!setUp) {
        requireRestorableArchives(
            jobView(manifest, request.first->heldBy),
            config.storeDir.empty() ? localplatform::storeDirectory() : config.storeDir);
        throw jobFailed("setting up the restore request for " + request.what + " failed");
    }
}

// The stages of the job that holds file's data.
const JobStages* stagesOf(const ManifestFile& file, const Manifest& manifest,
                          const std::vector<std::optional<JobStages>>& stages) {
    std::size_t index = 0;
    for (std::size_t i = 0; i < manifest.references.size() && file.heldBy != 0; ++i) {
        if (manifest.references[i].jobId == file.heldBy) index = i + 1;
    }
    return stages[index] ? &*stages[index] : nullptr;
}

}  // namespace

void readRequests(RestoreTarget& target, unsigned long long jobId, const Manifest& manifest,
                  const localplatform::Config& config, JobReport& report,
                  const std::vector<std::optional<JobStages>>& stages) {
    RestorePipelineSetup restore(jobId, 0);
    RestoreSession session(restore);
    for (std::size_t r = 0; r < target.requestCount(); ++r) {
        const RestoreRequest request = target.beginRequest(r);
        setUpRequest(restore, request, report, manifest, config);
        target.readRequest(r, RequestStreams(restore.getStreamPipeinfoMap(), &report.phases(),
                                             stagesOf(*request.first, manifest, stages)));
    }
    report.library().restoreClose();
    const bool closed = session.end();
    report.library().callEnded();
    report.end();
    if (!closed) say("warning: closing the streams failed");
}
