#pragma once

#include <map>
#include <string>
#include <vector>

#include "manifest/Manifest.h"
#include "outputs/OutputFile.h"
#include "report/StreamPhases.h"
#include "restore/PipelineInfo.h"
#include "stages/JobStages.h"
#include "streams/PieceReader.h"
#include "streams/RestoreStreams.h"
#include "streams/StripeReader.h"

// The streams of one restore request once it is set up, and what reading
// them reports to: how every restore target reads its files, each file's
// digest checked against the manifest's before the call returns. Every call
// runs the request's streams side by side on threads of its own and joins
// them before it returns or throws (see streams/RestoreStreams.h and
// streams/StripeReader.h); the caller makes no call into the library
// meanwhile. Each throws AgentError (failed job) naming the stream, its
// archive file and what did not match.
class RequestStreams {
public:
    // phases: where each stream's phases and bytes are reported (may be
    // null); stages: a manifest of format 4's, or null.
    RequestStreams(std::map<unsigned long, PipelineInfo> streams, StreamPhases* phases,
                   const JobStages* stages)
        : m_streams(std::move(streams)), m_phases(phases), m_stages(stages) {}

    // A file of a set into output at each part's place; returns its SHA-256,
    // taken from the bytes restored.
    std::string readFile(const ManifestFile& file, OutputFile& output) const;
    // A stream input, stripe by stripe, into sink; returns its SHA-256,
    // taken from the stripes in order, once it matched the manifest's.
    std::string readStreamInput(const ManifestFile& input, StripeSink& sink) const;
    // A run of consecutive files of a set, each into what outputs opens for
    // it (see readRunShares).
    void readRun(const std::vector<const ManifestFile*>& files, RunOutputs& outputs) const;
    // A run of pieces of files (format 5), each block checked as it is
    // written (see readPieceRun).
    void readPieces(const PieceRun& run, const std::vector<const ManifestFile*>& files,
                    PieceOutputs& outputs) const;

private:
    const std::map<unsigned long, PipelineInfo> m_streams;
    StreamPhases* const m_phases;
    const JobStages* const m_stages;
};
