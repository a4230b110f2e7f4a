#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "streams/PieceReader.h"

// How a restore reads files in pieces (format 5): over as few requests as
// it can, never one that mixes jobs.

// The most bytes a stream reads and drops to reach its next piece; past
// that a new request seeks.
constexpr uint64_t kMostSkipped = uint64_t{4} << 20;

// The runs that read every piece of `files` (each in pieces, of manifest):
// the jobs that hold them in turn, the manifest's own first, then in the
// order the files first name them; for each, every stream's pieces in the
// order they lie in its archive file, a run going on past a gap of at most
// kMostSkipped bytes and ending before a larger one (or a piece that lies
// before the stream's place), the next run taking each stream's next
// stretch. Pure.
std::vector<PieceRun> pieceRuns(const std::vector<const ManifestFile*>& files,
                                const Manifest& manifest);

// "of job J" for a run of job J's pieces, "of this job" for the manifest's
// own.
std::string holderName(unsigned long long holder);

// How many pieces of each of files (in order) the run reads.
std::vector<std::size_t> piecesRead(const PieceRun& run, std::size_t files);
