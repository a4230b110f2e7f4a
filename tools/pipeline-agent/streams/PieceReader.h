#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "manifest/Manifest.h"
#include "report/StreamPhases.h"
#include "restore/PipelineInfo.h"
#include "stages/JobStages.h"

// Files in pieces (format 5) restored a run at a time: a run is the pieces
// of one job's archive files that one restore request reads, each stream's
// in the order they lie in its archive file, the gaps between them read and
// dropped.

// One piece of one file of those a run serves.
struct PieceRead {
    std::size_t file = 0;   // into the run's files
    std::size_t piece = 0;  // into that file's pieces
};

// What one restore request reads of files in pieces: pieces of one job's
// archive files (holder; 0 the manifest's own job). `start` is what the
// request is set up with: one share per stream of that job, at the stored
// offset of the stream's first piece in the run (0 for a stream it does not
// read), and heldBy the holder.
struct PieceRun {
    unsigned long long holder = 0;
    ManifestFile start;
    std::vector<std::vector<PieceRead>> streams;  // [stream-1], in stored order
    std::size_t pieceCount() const;
};

// Where a run writes: file `file`'s bytes at offset, from the run's threads
// at once (for ranges that do not overlap). Throws AgentError.
class PieceOutputs {
public:
    virtual ~PieceOutputs() = default;
    virtual void write(std::size_t file, const void* data, std::size_t length, uint64_t offset) = 0;
};

// Reads run over the streams of the restore request set up for it (run's
// start), one thread per stream that reads any piece: each stream goes from
// its start through its pieces in turn, reading and dropping the bytes
// between them, and writes each piece's bytes into its file at its place,
// its stored bytes as they are or (stages: the holder's) its frames decoded
// from its first frame's index, the bytes of that frame before the piece
// dropped. Every block is checked against the file's block digests as it is
// written (BlockCheck): a block that does not match, frames that hold fewer
// or more bytes than the piece, a stream the request did not open or a
// media side that delivers less fail the job (AgentError) with one line
// naming the file, the stream and its archive file. Every thread is joined
// before this returns or throws; the caller makes no call into the library
// meanwhile. phases, when given: each thread's read phase and the bytes it
// wrote.
void readPieceRun(const std::map<unsigned long, PipelineInfo>& streams, const PieceRun& run,
                  const std::vector<const ManifestFile*>& files, PieceOutputs& outputs,
                  StreamPhases* phases = nullptr, const JobStages* stages = nullptr);
