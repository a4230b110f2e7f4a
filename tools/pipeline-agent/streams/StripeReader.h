#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <string>

#include "manifest/Manifest.h"
#include "outputs/OutputFile.h"
#include "report/StreamPhases.h"
#include "restore/RestorePipelineSetup.h"
#include "stages/JobStages.h"
#include "streams/FileDigest.h"

// Where the stripes of a stream input go as they are read and verified.
// Thread-safe: each stream's thread delivers its own stripes.
class StripeSink {
public:
    virtual ~StripeSink() = default;
    // Takes stripe `stripe` (its bytes verified); false when the sink wants
    // no more of this stream's stripes. Throws AgentError (failed job).
    virtual bool put(uint64_t stripe, const char* data, std::size_t length) = 0;
    // A stream failed at `stripe`: stripes from it on are not wanted.
    virtual void failedAt(uint64_t stripe) = 0;
    // The SHA-256 of every stripe put, in the input's order; once, after
    // the last put. Throws AgentError (failed job) when a stripe is missing.
    virtual std::string digest() = 0;
};

// The stripes of input into an OutputFile, each at its place in the input:
// their order does not matter, as the file only appears once all matched.
// The whole input's SHA-256 is taken in order all the same (FileDigest: a
// stripe written before its turn is read back when its turn comes).
class StripesToFile : public StripeSink {
public:
    StripesToFile(OutputFile& output, const ManifestFile& input);
    bool put(uint64_t stripe, const char* data, std::size_t length) override;
    void failedAt(uint64_t) override {}
    std::string digest() override { return m_digest.finish(); }

private:
    OutputFile& m_output;
    const uint64_t m_unit;
    FileDigest m_digest;
};

// The stripes onto a pipe or file descriptor in order: a stream's thread
// holding a stripe waits until every stripe before it was written. After a
// failure at stripe j, the stripes before j are still written (they are
// verified, and a consumer gets all of the input up to the damage) and none
// from j on. A write that fails (EPIPE: the consumer went away) throws
// AgentError (failed job) and stops every stream.
class StripesInOrder : public StripeSink {
public:
    // input: the stream input whose stripes are written, for their digest.
    StripesInOrder(int fd, const ManifestFile& input);
    bool put(uint64_t stripe, const char* data, std::size_t length) override;
    void failedAt(uint64_t stripe) override;
    std::string digest() override { return m_digest.finish(); }
    // The bytes written so far.
    uint64_t written() const;

private:
    const int m_fd;
    FileDigest m_digest;  // fed in order, so never reads back
    mutable std::mutex m_mutex;
    std::condition_variable m_turn;
    uint64_t m_next = 0;  // the stripe whose turn it is
    uint64_t m_stopAt = std::numeric_limits<uint64_t>::max();
    uint64_t m_written = 0;
};

// Reads a stream input (file.isStream()) from the streams of a restore request
// that was set up for it, one thread per stream, a stripe at a time into a
// buffer of its own (memory: streams x stripe unit); checks each stripe's
// SHA-256 against the manifest before the sink gets it. Each thread asks the
// media side for no more than its share, so that a later request only has to
// seek.
//
// Runs on the caller's thread, which must make no call into the library or
// on the archive objects while it runs: every thread is joined before it
// returns or throws. Throws AgentError (failed job) naming the stripe, the
// stream and its archive file when the media side fails or a stripe does not
// match (the first failure in stripe order), or the sink's failure.
// stages, when given (a manifest of format 4): each share is a run of
// frames, one a stripe, each decoded and verified before its stripe's digest
// is checked.
void readStripedShares(const std::map<unsigned long, PipelineInfo>& streams,
                       const ManifestFile& file, StripeSink& sink,
                       StreamPhases* phases = nullptr, const JobStages* stages = nullptr);
