#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"
#include "report/StreamPhases.h"
#include "streams/StreamThreads.h"

// Copies archive files' data into the streams of a job of this process, byte
// for byte, one thread per stream: each reads its source (an archive file
// of a store beside, opened before) from its start, kCopyChunk at a time,
// and appends it to its stream (localplatform::writeStream), reporting each
// chunk to phases, which paces the job under a rate limit. The bytes are
// not digested here: the store written digests what it stores, and its
// record is compared with the source's once the streams are closed.
// Memory: one chunk a stream.
//
// Thread rules: start and join on the job's thread; join before the job's
// streams are closed. The first failure stops the others at their next
// chunk.
class ArchiveCopy {
public:
    static constexpr std::size_t kCopyChunk = 1u << 20;

    // jobId: the job whose streams 1..streams are written; phases: may be
    // null.
    ArchiveCopy(unsigned long long jobId, std::size_t streams, StreamPhases* phases);
    // Stops the copies that still run, and waits for them.
    ~ArchiveCopy();
    ArchiveCopy(const ArchiveCopy&) = delete;
    ArchiveCopy& operator=(const ArchiveCopy&) = delete;

    // Starts copying source into stream `stream`, whose archive file is set
    // up and empty. Owns source. Throws AgentError (failed job) when no
    // thread can be started.
    void start(unsigned long stream, std::unique_ptr<localplatform::ArchiveData> source);

    // Waits for every stream's copy. Throws AgentError (failed job) for the
    // first that failed: a source that cannot be read to its size or a
    // write that failed (naming the stream), or on a signal.
    void join();

private:
    void copy(unsigned long stream, localplatform::ArchiveData& source);

    const unsigned long long m_jobId;
    StreamPhases* const m_phases;
    std::atomic<bool> m_stop{false};  // a copy failed, or the job stops
    std::vector<std::unique_ptr<localplatform::ArchiveData>> m_sources;
    StreamThreads m_threads;  // last: joined before the sources go
};
