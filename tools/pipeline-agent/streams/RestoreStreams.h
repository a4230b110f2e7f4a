#pragma once

#include <map>

#include "manifest/Manifest.h"
#include "outputs/OutputFile.h"
#include "report/StreamPhases.h"
#include "restore/RestorePipelineSetup.h"
#include "stages/JobStages.h"

// Reads one file of a set from the streams of a restore request that was set
// up for it (each stream sought to the file's part), one thread per stream,
// into the output at each part's place. Each thread reads exactly its part:
// readBuffer is asked for no more than the part still needs, capped at
// kChunk, and the stream is left alone once the part is complete, so that
// the next request only has to seek. Each part's SHA-256 is checked as it
// is read, and the whole file's is taken from the same bytes in file order
// (FileDigest: a part written before its turn is read back from the output
// when its turn comes) and checked against the manifest's once every part
// matched. The streams run side by side; memory stays bounded by
// (streams + 1) x kChunk.
//
// Runs on the caller's thread, which must make no call into the library or
// on the archive objects while it runs: every thread is joined before it
// returns or throws. Throws AgentError (failed job) naming the stream and its
// archive file when the media side fails or a part's checksum does not
// match, or naming the file when its whole checksum does not. Returns the
// file's SHA-256, as computed from the bytes restored.
// phases, when given: each thread reports its stream's read phase and every
// chunk it wrote to the output. stages, when given (a manifest of format 4):
// each share is its storedSize bytes of frames, decoded and verified frame by
// frame (FrameDecoder) before its bytes reach the output; a frame that fails
// fails the job with one line naming the file, stream and frame.
constexpr std::size_t kRestoreChunk = 1 << 20;
std::string readFileShares(const std::map<unsigned long, PipelineInfo>& streams,
                           const ManifestFile& file, OutputFile& output,
                           StreamPhases* phases = nullptr, const JobStages* stages = nullptr);


// Where readRunShares writes: each file gets one descriptor, opened by the
// first stream that reaches it and handed back once all its shares are in.
// Both may be called from several threads at once, for different files.
class RunOutputs {
public:
    virtual ~RunOutputs() = default;
    // A descriptor to write file `file` (an index into the run) through.
    virtual int open(std::size_t file) = 0;
    // All of the file was written and matched; fd is the outputs' again.
    virtual void finish(std::size_t file, int fd) = 0;
};

// Reads a run of consecutive files of a set (files, not stream inputs) over
// one restore request, set up with each stream sought to the first file's
// share in it: each stream's shares of the run lie one after another in its
// archive file, so one thread per stream that holds any of them reads them
// in turn, asking the media side for no more than the share still needs,
// and writes each into its file at its place. Each share's SHA-256 is
// checked as it is read, and each file's whole digest against the
// manifest's once all its shares are in (as readFileShares does), before the
// file is handed back. A stream holds at most one file open at a time, so
// at most streams files are open at once, whatever the run's length. Thread
// and error rules as readFileShares; on a failure, a file opened but not
// finished is closed, and left to the caller to remove.
void readRunShares(const std::map<unsigned long, PipelineInfo>& streams,
                   const std::vector<const ManifestFile*>& files, RunOutputs& outputs,
                   StreamPhases* phases = nullptr, const JobStages* stages = nullptr);
