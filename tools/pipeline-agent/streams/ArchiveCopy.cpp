#include "streams/ArchiveCopy.h"

#include <cstring>

#include "base/AgentError.h"
#include "base/Interrupt.h"

ArchiveCopy::ArchiveCopy(unsigned long long jobId, std::size_t streams, StreamPhases* phases)
    : m_jobId(jobId), m_phases(phases), m_threads(streams, phases, m_stop, Phase::Data) {}

ArchiveCopy::~ArchiveCopy() {
    m_stop = true;
    if (m_phases) m_phases->stopPacing();
}

void ArchiveCopy::start(unsigned long stream, std::unique_ptr<localplatform::ArchiveData> source) {
    localplatform::ArchiveData& data = *source;
    m_sources.push_back(std::move(source));
    if (!m_threads.start(stream - 1, stream, [this, stream, &data] { copy(stream, data); })) {
        std::rethrow_exception(m_threads.join());
    }
}

void ArchiveCopy::copy(unsigned long stream, localplatform::ArchiveData& source) {
    const std::string name = "stream " + std::to_string(stream);
    std::vector<char> chunk(kCopyChunk);
    const unsigned long long size = source.size();
    for (unsigned long long at = 0; at < size;) {
        if (m_stop || interruptSignal() != 0) return;
        const std::size_t length =
            static_cast<std::size_t>(std::min<unsigned long long>(kCopyChunk, size - at));
        errno = 0;
        if (!source.readExactly(chunk.data(), length, at)) {
            throw jobFailed(name + ": cannot read the source's archive file at byte " +
                            std::to_string(at) + ": " +
                            (errno != 0 ? std::strerror(errno) : "it ended early"));
        }
        std::string error;
        if (!localplatform::writeStream(m_jobId, stream, chunk.data(), length, &error)) {
            throw jobFailed("writing " + name + " failed: " + error);
        }
        at += length;
        if (m_phases) m_phases->moved(stream, length);
    }
}

void ArchiveCopy::join() {
    const std::exception_ptr failure = m_threads.join();
    if (failure) std::rethrow_exception(failure);
    throwIfInterrupted();
}
