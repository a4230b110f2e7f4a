#include "jobs/restore/RequestStreams.h"

#include "streams/FileDigest.h"

std::string RequestStreams::readFile(const ManifestFile& file, OutputFile& output) const {
    return readFileShares(m_streams, file, output, m_phases, m_stages);
}

std::string RequestStreams::readStreamInput(const ManifestFile& input, StripeSink& sink) const {
    readStripedShares(m_streams, input, sink, m_phases, m_stages);
    // Every stripe matched its own digest; the input must match the one the
    // manifest records for it.
    std::string digest = sink.digest();
    requireFileDigest(input, digest);
    return digest;
}

void RequestStreams::readPieces(const PieceRun& run, const std::vector<const ManifestFile*>& files,
                                PieceOutputs& outputs) const {
    readPieceRun(m_streams, run, files, outputs, m_phases, m_stages);
}

void RequestStreams::readRun(const std::vector<const ManifestFile*>& files,
                             RunOutputs& outputs) const {
    readRunShares(m_streams, files, outputs, m_phases, m_stages);
}
