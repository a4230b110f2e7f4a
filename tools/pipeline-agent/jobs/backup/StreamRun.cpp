#include "jobs/backup/StreamRun.h"

#include <chrono>
#include <map>

#include "base/AgentError.h"
#include "base/Console.h"
#include "base/Interrupt.h"
#include "jobs/backup/BlockChanges.h"
#include "jobs/backup/Invalidation.h"
#include "platform/local/ArchiveFiles.h"
#include "platform/local/Jobs.h"

namespace {

// The type values this agent sets its pipelines up with: a full backup.
constexpr unsigned long kTypeDetail = 0;
constexpr unsigned long kTypeCode = 1;
constexpr unsigned long kCloseArchiveFiles = 1;
constexpr unsigned long kInvalidateArchiveFiles = 0;
// How often the job looks at signals while the streams write.
constexpr std::chrono::milliseconds kPoll{50};

// Lets every writer waiting at the start of a part go on, once its stream's
// offset in its archive file is where the part belongs; waits up to `wait`
// for the first one. Library calls stay on this, the job's thread.
void beginWaitingParts(BackupPipelineSetup& job, BackupStreams& streams,
                       std::chrono::milliseconds wait) {
    while (auto start = streams.nextPartStart(wait)) {
        unsigned long long offset = 0;
        const uint64_t expected = streams.archiveOffset(start->file, start->stream);
        if (!job.getArchiveFileOffset(start->stream, offset) || offset != expected) {
            throw jobFailed("stream " + std::to_string(start->stream) +
                            " reports the wrong offset in its archive file (" +
                            std::to_string(offset) + ", not " + std::to_string(expected) + ")");
        }
        streams.beginPart(*start);
        wait = std::chrono::milliseconds(0);
    }
    if (const auto failure = streams.failure()) std::rethrow_exception(failure);
    throwIfInterrupted();
}

// The same platform calls as setupPipeline for all streams: with no
// streams it only fills the shared setup record; then each stream is added
// in order, and starts writing as soon as it is set up.
void setUpStreams(BackupPipelineSetup& job, BackupStreams& streams, JobReport& report,
                  const StreamPlan& plan, StreamRun& run) {
    beginPipeline(job, plan.createText);
    streams.startReading();
    for (unsigned long k = 1; k <= plan.streams; ++k) {
        run.archives.push_back(
            addStream(job, report, plan.jobId, k, plan.createText, plan.streamsBefore));
        streams.startStream(k);
        beginWaitingParts(job, streams, std::chrono::milliseconds(0));
    }
}

// Each archive file ends where its stream's last part does.
void checkArchiveSizes(BackupPipelineSetup& job, const BackupStreams& streams,
                       const StreamPlan& plan, StreamRun& run) {
    for (unsigned long k = 1; k <= plan.streams; ++k) {
        unsigned long long offset = 0;
        const uint64_t expected = streams.archiveOffset(plan.setSize, k);
        if (!job.getArchiveFileOffset(k, offset) || offset != expected) {
            throw jobFailed("stream " + std::to_string(k) +
                            " reports the wrong offset in its archive file");
        }
        say("stream %lu: wrote %llu bytes to archive file %s", k,
            static_cast<unsigned long long>(expected),
            archiveFileName(run.archives[k - 1]).c_str());
        run.written.push_back(expected);
    }
}

}  // namespace

void beginPipeline(BackupPipelineSetup& job, const std::string& createText) {
    if (!job.setupPipeline(kTypeDetail, kTypeCode, 0, createText)) {
        throw jobFailed("setting up the streams failed");
    }
}

ManifestArchive addStream(BackupPipelineSetup& job, JobReport& report, unsigned long long jobId,
                          unsigned long stream, const std::string& createText,
                          unsigned long streamsBefore) {
    report.library().backupSetUp(stream);
    const bool added = job.AddStreamToPipeline(static_cast<int>(stream), createText);
    report.library().callEnded();
    if (!added) {
        throwIfInterrupted();
        throw jobFailed("setting up the streams failed");
    }
    localplatform::ArchiveFileRecord file;
    const unsigned long number = streamsBefore + stream;
    if (!localplatform::createdArchiveFile(jobId, number, &file)) {
        throw jobFailed("the platform created no archive file for stream " +
                        std::to_string(number));
    }
    return {number, file.trellanId, file.groupNumber, file.afileId};
}

void invalidateStreams(BackupPipelineSetup& job, JobReport& report, unsigned long long jobId,
                       unsigned long streams, const char* what, unsigned long streamsBefore) {
    say("the %s failed; invalidating the job's archive files", what);
    report.library().backupClose();
    const bool invalidated = job.closePipeline(kInvalidateArchiveFiles, false);
    report.library().callEnded();
    if (!invalidated || !archiveFilesInvalidated(jobId, streams, streamsBefore)) {
        sayInvalidationFailed();
    }
    localplatform::failJob(jobId);
}

std::string archiveCreateText(const std::string& firstName, std::size_t setSize) {
    return "pipeline-agent backup of " + firstName +
           (setSize > 1 ? " and " + std::to_string(setSize - 1) + " more" : "");
}

void prepareStreams(BackupStreams& streams, const BackupSet& set, const PipeInput* pipe,
                    const std::optional<JobStages>& stages, const std::string& afterFirstChunk,
                    uint64_t blockSize) {
    if (stages) {
        std::vector<std::string> names;
        for (const SetEntry& entry : set.entries) {
            const bool read = entry.kind == ManifestFile::Kind::File && !entry.unchanged;
            if (read) names.push_back(entry.name);
        }
        if (pipe) names.push_back(pipe->name());
        streams.useStages(*stages, std::move(names));
    }
    std::map<std::size_t, std::vector<FileExtent>> partly;
    for (const SetEntry& entry : set.entries) {
        if (entry.blocks) partly.emplace(entry.read, entry.blocks->plan.changed);
    }
    streams.useBlocks(blockSize, std::move(partly));
    streams.runAfterFirstChunk(afterFirstChunk);
}

StreamRun runStreams(BackupPipelineSetup& job, BackupStreams& streams, JobReport& report,
                     const StreamPlan& plan) {
    StreamRun run;
    streams.numberStreamsAfter(plan.streamsBefore);
    try {
        setUpStreams(job, streams, report, plan, run);
        while (!streams.done()) {
            beginWaitingParts(job, streams, kPoll);
            if (plan.whileWriting) plan.whileWriting(run.archives);
        }
        streams.stop();
        checkArchiveSizes(job, streams, plan, run);
    } catch (const std::exception&) {
        streams.stop();
        invalidateStreams(job, report, plan.jobId, plan.streams, "backup", plan.streamsBefore);
        throw;
    }
    return run;
}

void closeStreams(BackupPipelineSetup& job, JobReport& report, unsigned long long jobId) {
    report.library().backupClose();
    const bool closed = job.closePipeline(kCloseArchiveFiles, false);
    report.library().callEnded();
    if (!closed) {
        // The streams the close did not reach are still held: invalidate them,
        // and let the job's failure settle the rest at the next cleanup.
        job.closePipeline(kInvalidateArchiveFiles, false);
        localplatform::failJob(jobId);
        throw jobFailed("closing the streams failed; the job is marked failed");
    }
}
