#include "streams/BackupStreams.h"

#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "platform/local/LocalPlatform.h"

namespace {

// Runs `/bin/sh -c command sh path` and waits for it; throws AgentError
// (failed job) unless it exits 0.
void runTestCommand(const std::string& command, const std::string& path) {
    const char* argv[] = {"sh", "-c", command.c_str(), "sh", path.c_str(), nullptr};
    pid_t child = 0;
    const int error =
        ::posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char* const*>(argv), environ);
    if (error != 0) {
        throw jobFailed("cannot run the test command: " + std::string(std::strerror(error)));
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw jobFailed("the test command after the first chunk of " + path + " failed");
    }
}

}  // namespace

BackupStreams::BackupStreams(std::vector<const InputFile*> inputs, unsigned long streams,
                             unsigned long long jobId, unsigned long failStream,
                             StreamPhases* phases)
    : m_inputs(std::move(inputs)),
      m_streamCount(streams),
      m_jobId(jobId),
      m_failStream(failStream),
      m_phases(phases),
      m_streams(streams),
      m_fileDigests(m_inputs.size()),
      m_partDigests(m_inputs.size(), std::vector<std::string>(streams)) {}

BackupStreams::~BackupStreams() { stop(); }

uint64_t BackupStreams::partOffset(std::size_t file, unsigned long stream) const {
    return m_inputs[file]->size() * (stream - 1) / m_streamCount;
}

uint64_t BackupStreams::partSize(std::size_t file, unsigned long stream) const {
    return m_inputs[file]->size() * stream / m_streamCount - partOffset(file, stream);
}

uint64_t BackupStreams::archiveOffset(std::size_t file, unsigned long stream) const {
    uint64_t offset = 0;
    for (std::size_t earlier = 0; earlier < file; ++earlier) offset += partSize(earlier, stream);
    return offset;
}

void BackupStreams::startReading() {
    m_reader = std::thread([this] { read(); });
}

void BackupStreams::startStream(unsigned long stream) {
    Stream& started = m_streams[stream - 1];
    started.thread = std::thread([this, stream] { write(stream); });
    // Until it waits at its first part, so that the caller can let it begin
    // at once rather than after the next stream's setup.
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [&] { return stopping() || started.waitingAt || started.finished; });
}

std::optional<BackupStreams::PartStart> BackupStreams::nextPartStart(
    std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<PartStart> found;
    const auto waiting = [&] {
        if (stopping() || (m_readerFinished && m_finished == m_streamCount)) return true;
        for (unsigned long k = 0; k < m_streamCount; ++k) {
            if (m_streams[k].waitingAt && *m_streams[k].waitingAt == m_streams[k].allowed) {
                found = PartStart{k + 1, *m_streams[k].waitingAt};
                return true;
            }
        }
        return false;
    };
    m_changed.wait_for(lock, wait, waiting);
    return stopping() ? std::nullopt : found;
}

void BackupStreams::beginPart(PartStart start) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Stream& stream = m_streams[start.stream - 1];
        stream.allowed = std::max(stream.allowed, start.file + 1);
    }
    m_changed.notify_all();
}

bool BackupStreams::done() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_failure && m_readerFinished && m_finished == m_streamCount;
}

std::exception_ptr BackupStreams::failure() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

void BackupStreams::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_reader.joinable()) m_reader.join();
    for (Stream& stream : m_streams) {
        if (stream.thread.joinable()) stream.thread.join();
    }
}

std::string BackupStreams::partDigest(std::size_t file, unsigned long stream) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_partDigests[file][stream - 1];
}

std::string BackupStreams::fileDigest(std::size_t file) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fileDigests[file];
}

bool BackupStreams::stopping() const { return m_stop || m_failure; }

void BackupStreams::fail(std::exception_ptr error) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_failure) m_failure = error;
    }
    m_changed.notify_all();
}

// Reads every file once, in order, so that one digest per file sees its
// bytes in order, and queues each chunk for the stream whose part it is.
void BackupStreams::read() {
    try {
        for (std::size_t file = 0; file < m_inputs.size(); ++file) {
            const InputFile& input = *m_inputs[file];
            Sha256 digest;
            bool firstChunk = true;
            for (unsigned long k = 1; k <= m_streamCount; ++k) {
                const uint64_t end = partOffset(file, k) + partSize(file, k);
                for (uint64_t offset = partOffset(file, k); offset < end;) {
                    Chunk chunk;
                    chunk.file = file;
                    chunk.length =
                        static_cast<std::size_t>(std::min<uint64_t>(kChunk, end - offset));
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        if (stopping()) return;
                        if (!m_spare.empty()) {
                            chunk.data = std::move(m_spare.back());
                            m_spare.pop_back();
                        }
                    }
                    if (chunk.data.size() < kChunk) chunk.data.resize(kChunk);
                    input.readAt(chunk.data.data(), chunk.length, offset);
                    if (firstChunk && !m_afterFirstChunk.empty()) {
                        runTestCommand(m_afterFirstChunk, input.path());
                    }
                    firstChunk = false;
                    digest.update(chunk.data.data(), chunk.length);
                    offset += chunk.length;
                    std::unique_lock<std::mutex> lock(m_mutex);
                    Stream& stream = m_streams[k - 1];
                    m_changed.wait(lock,
                                   [&] { return stopping() || stream.queue.size() < kDepth; });
                    if (stopping()) return;
                    stream.queue.push_back(std::move(chunk));
                    lock.unlock();
                    m_changed.notify_all();
                }
            }
            // Its last byte is read: the file must still be the one whose
            // size and times were taken before the first.
            input.requireUnchanged();
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fileDigests[file] = digest.hex();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_readerFinished = true;
        }
        m_changed.notify_all();
    } catch (...) {
        fail(std::current_exception());
    }
}

void BackupStreams::write(unsigned long k) {
    Stream& stream = m_streams[k - 1];
    // However the writer ends (done, stopped, failed), its data phase ends.
    struct EndsDataPhase {
        StreamPhases* phases;
        unsigned long stream;
        ~EndsDataPhase() {
            if (phases) phases->enter(stream, Phase::Idle);
        }
    } endsDataPhase{m_phases, k};
    try {
        for (std::size_t file = 0; file < m_inputs.size(); ++file) {
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                stream.waitingAt = file;
                m_changed.notify_all();
                m_changed.wait(lock, [&] { return stopping() || stream.allowed > file; });
                stream.waitingAt.reset();
                if (stopping()) return;
            }
            if (m_phases && file == 0) m_phases->enter(k, Phase::Data);
            Sha256 digest;
            for (uint64_t left = partSize(file, k); left > 0;) {
                Chunk chunk;
                {
                    std::unique_lock<std::mutex> lock(m_mutex);
                    m_changed.wait(lock, [&] { return stopping() || !stream.queue.empty(); });
                    if (stopping()) return;
                    chunk = std::move(stream.queue.front());
                    stream.queue.pop_front();
                }
                m_changed.notify_all();
                throwIfInterrupted();
                if (chunk.file != file || chunk.length > left) {
                    throw jobFailed("stream " + std::to_string(k) +
                                    " was handed data out of order");
                }
                std::string error;
                if (k == m_failStream) error = "simulated write failure";
                if (!error.empty() || !localplatform::writeStream(m_jobId, k, chunk.data.data(),
                                                                  chunk.length, &error)) {
                    throw jobFailed("writing stream " + std::to_string(k) + " failed: " + error);
                }
                if (m_phases) m_phases->moved(k, chunk.length);
                digest.update(chunk.data.data(), chunk.length);
                left -= chunk.length;
                std::lock_guard<std::mutex> lock(m_mutex);
                m_spare.push_back(std::move(chunk.data));
            }
            std::lock_guard<std::mutex> lock(m_mutex);
            m_partDigests[file][k - 1] = digest.hex();
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            stream.finished = true;
            ++m_finished;
        }
        m_changed.notify_all();
    } catch (...) {
        fail(std::current_exception());
    }
}
