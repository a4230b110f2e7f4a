#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backup/BackupPipelineSetup.h"
#include "inputs/PipeInput.h"
#include "jobs/backup/BackupSet.h"
#include "manifest/Manifest.h"
#include "report/JobReport.h"
#include "stages/JobStages.h"
#include "streams/BackupStreams.h"

// What one run of a job's streams is: its job, how many streams, how many
// inputs the set holds (the stream input's included) and the text every
// archive file is created with.
struct StreamPlan {
    unsigned long long jobId = 0;
    unsigned long streams = 0;
    std::size_t setSize = 0;
    std::string createText;
    // The job's streams before these (a job taken over): stream k of the
    // plan is the job's stream streamsBefore + k, in the library's records
    // as in the streams' writes (runStreams numbers them so).
    unsigned long streamsBefore = 0;
    // Called on the job's thread between its looks at the streams once all
    // are set up, with their archive files; none when empty.
    std::function<void(const std::vector<ManifestArchive>&)> whileWriting;
};

// What the streams wrote, once they all did.
struct StreamRun {
    std::vector<ManifestArchive> archives;  // one per stream, in stream order
    std::vector<uint64_t> written;          // [stream-1]: bytes in its archive file
};

// "pipeline-agent backup of FIRST and N more": what the archive files of a
// set of setSize inputs, the first named firstName, are created with.
std::string archiveCreateText(const std::string& firstName, std::size_t setSize);

// Readies the streams before they read: every part through stages, when
// the job has them, bound to its entry's name (the stream input's last);
// each file digested by blocks of blockSize, a file compared block by block
// (SetEntry::blocks) read only in its changed blocks; and the test command
// run after each file's first chunk. The job's thread.
void prepareStreams(BackupStreams& streams, const BackupSet& set, const PipeInput* pipe,
                    const std::optional<JobStages>& stages, const std::string& afterFirstChunk,
                    uint64_t blockSize);

// Drives the job's streams through the library: sets the pipeline up, adds
// stream 1..N in order (each starts writing as soon as it is set up and its
// archive file is known), lets each writer begin each part once the
// library's offset in its archive file is where the part belongs, and,
// once all are done, checks every archive file's final offset and says
// what each stream wrote. Returns the archive files and their sizes. On a
// failure or a signal: stops the streams, has the library invalidate the
// job's archive files (saying so, and saying how to free their space when
// that fails), marks the job failed and rethrows (AgentError). Library
// calls stay on this, the job's thread; the streams' own threads only
// write.
StreamRun runStreams(BackupPipelineSetup& job, BackupStreams& streams, JobReport& report,
                     const StreamPlan& plan);

// The library's calls a job that writes streams makes, one by one (a copy's
// as a backup's), on the job's thread:
// setupPipeline with this agent's type values and no streams yet; throws
// AgentError (failed job) when it fails.
void beginPipeline(BackupPipelineSetup& job, const std::string& createText);
// AddStreamToPipeline for stream `stream` of job jobId, its set-up and
// pause reported; returns the archive file the platform created for it (the
// job's stream streamsBefore + stream).
// Throws AgentError: interrupted on a signal, else a failed job.
ManifestArchive addStream(BackupPipelineSetup& job, JobReport& report, unsigned long long jobId,
                          unsigned long stream, const std::string& createText,
                          unsigned long streamsBefore = 0);
// After a failure or a signal, with the streams' own threads stopped: has
// the library invalidate the job's archive files, saying so ("the WHAT
// failed; invalidating the job's archive files", and how to free their
// space when that fails), and marks the job failed.
void invalidateStreams(BackupPipelineSetup& job, JobReport& report, unsigned long long jobId,
                       unsigned long streams, const char* what, unsigned long streamsBefore = 0);

// Closes the job's archive files through the library, once the streams
// wrote everything. When the close fails, the streams it did not reach are
// invalidated, the job is marked failed and AgentError (failed job) is
// thrown. The job's thread.
void closeStreams(BackupPipelineSetup& job, JobReport& report, unsigned long long jobId);
