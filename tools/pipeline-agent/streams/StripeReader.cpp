#include "streams/StripeReader.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "base/JoinedThreads.h"
#include "base/Sha256.h"
#include "platform/ZebArchive.h"
#include "platform/local/ArchiveFiles.h"
#include "stages/FrameDecoder.h"
#include "streams/RestoreStreams.h"

StripesToFile::StripesToFile(OutputFile& output, const ManifestFile& input)
    : m_output(output),
      m_unit(input.stripeUnit),
      m_digest(input, [&output](void* buffer, std::size_t length, uint64_t offset) {
          output.readAt(buffer, length, offset);
      }) {}

bool StripesToFile::put(uint64_t stripe, const char* data, std::size_t length) {
    m_output.writeAt(data, length, stripe * m_unit);
    m_digest.written(static_cast<std::size_t>(stripe), data, length);
    return true;
}

StripesInOrder::StripesInOrder(int fd, const ManifestFile& input)
    : m_fd(fd), m_digest(input, [](void*, std::size_t, uint64_t) {
          throw jobFailed("the stripes written to standard output cannot be read back");
      }) {}

bool StripesInOrder::put(uint64_t stripe, const char* data, std::size_t length) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_turn.wait(lock, [&] { return m_next == stripe || stripe >= m_stopAt; });
    if (stripe >= m_stopAt) return false;
    // Only the thread whose turn it is writes, so the lock may be let go.
    lock.unlock();
    std::size_t done = 0;
    int error = 0;
    while (done < length) {
        const ssize_t wrote = ::write(m_fd, data + done, length - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) {
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (error == 0) m_digest.written(static_cast<std::size_t>(stripe), data, length);
    lock.lock();
    m_written += done;
    if (error != 0) {
        m_stopAt = std::min(m_stopAt, stripe);
        m_turn.notify_all();
        throw jobFailed(error == EPIPE ? "the output's reader went away after " +
                                             std::to_string(m_written) + " bytes (broken pipe)"
                                       : "cannot write the output: " +
                                             std::string(std::strerror(error)));
    }
    m_next = stripe + 1;
    m_turn.notify_all();
    return true;
}

void StripesInOrder::failedAt(uint64_t stripe) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopAt = std::min(m_stopAt, stripe);
    m_turn.notify_all();
}

uint64_t StripesInOrder::written() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_written;
}

namespace {

std::string where(const ManifestShare& share) {
    return "stream " + std::to_string(share.archive.stream) + ", archive file " +
           archiveFileName(share.archive);
}

// Where a stream's reading ended: the stripe it failed at, or none.
struct Failure {
    uint64_t stripe = std::numeric_limits<uint64_t>::max();
    std::exception_ptr error;
};

// Reads stream k's stripes of the input, in order, each whole into buffer,
// verifies it and hands it to the sink. Stops at the next delivery once
// `stopAt` is at or before the stripe it reads.
void readStripes(ZebArchive* archive, const ManifestFile& file, unsigned long k,
                 StripeSink& sink, const std::atomic<uint64_t>& stopAt, Failure& failure,
                 StreamPhases* phases) {
    const ManifestShare& share = file.shares[k - 1];
    const auto streams = static_cast<unsigned long>(file.shares.size());
    uint64_t stripe = k - 1;
    uint64_t shareDone = 0;
    try {
        if (phases) phases->enter(k, Phase::Read);
        std::vector<char> buffer(static_cast<std::size_t>(file.stripeUnit));
        for (; stripe < file.stripes.size(); stripe += streams) {
            const auto length =
                static_cast<std::size_t>(std::min(file.stripeUnit, file.size - stripe * file.stripeUnit));
            std::size_t have = 0;
            while (have < length) {
                throwIfInterrupted();
                if (stopAt.load() <= stripe) return;
                ReadBufArgs_t readArgs;
                readArgs.maxLength = std::min<uint64_t>(length - have, kRestoreChunk);
                ReadBufRet_t readRet;
                FreeBufArgs_t freeArgs;
                if (archive->readBuffer(&readArgs, &readRet) == 0) {
                    throw jobFailed(where(share) + ": the media side delivered " +
                                    std::to_string(shareDone + have) + " of " +
                                    std::to_string(share.size) + " bytes");
                }
                if (readRet.messageType == localplatform::kDataMessage) {
                    const auto got = static_cast<std::size_t>(
                        std::min<uint64_t>(readRet.dataLength, length - have));
                    std::memcpy(buffer.data() + have, readRet.data, got);
                    have += got;
                    if (phases) phases->moved(k, got);
                }
                archive->freeBuffer(&freeArgs, nullptr);
            }
            Sha256 digest;
            digest.update(buffer.data(), length);
            if (digest.hex() != file.stripes[stripe]) {
                throw jobFailed("stripe " + std::to_string(stripe + 1) + " of " + file.name +
                                " (" + where(share) + ") does not match the manifest's checksum; "
                                "it is damaged");
            }
            if (!sink.put(stripe, buffer.data(), length)) return;
            shareDone += length;
        }
    } catch (...) {
        failure.stripe = stripe;
        failure.error = std::current_exception();
    }
}

// Reads stream k's share as frames, one a stripe, in order: each decoded
// and verified, then checked against its stripe's digest and handed to the
// sink. Stops as readStripes does.
void readFramedStripes(ZebArchive* archive, const ManifestFile& file, unsigned long k,
                       const JobStages& stages, StripeSink& sink,
                       const std::atomic<uint64_t>& stopAt, Failure& failure,
                       StreamPhases* phases) {
    const ManifestShare& share = file.shares[k - 1];
    const auto streams = static_cast<unsigned long>(file.shares.size());
    uint64_t stripe = k - 1;
    bool wanted = true;
    try {
        if (phases) phases->enter(k, Phase::Read);
        FrameDecoder decoder(
            stages.part(file.name, k, static_cast<std::size_t>(file.stripeUnit)),
            [&](const uint8_t* data, std::size_t length) {
                const uint64_t expected =
                    stripe < file.stripes.size()
                        ? std::min(file.stripeUnit, file.size - stripe * file.stripeUnit)
                        : 0;
                if (length != expected) {
                    throw jobFailed("stripe " + std::to_string(stripe + 1) + " of " + file.name +
                                    " (" + where(share) + ") decodes to " +
                                    std::to_string(length) + " bytes, not " +
                                    std::to_string(expected) + "; it is damaged");
                }
                Sha256 digest;
                digest.update(data, length);
                if (digest.hex() != file.stripes[stripe]) {
                    throw jobFailed("stripe " + std::to_string(stripe + 1) + " of " + file.name +
                                    " (" + where(share) +
                                    ") does not match the manifest's checksum; it is damaged");
                }
                if (phases) phases->moved(k, length);
                if (!sink.put(stripe, reinterpret_cast<const char*>(data), length)) wanted = false;
                stripe += streams;
            });
        uint64_t read = 0;
        while (read < share.storedSize && wanted) {
            throwIfInterrupted();
            if (stopAt.load() <= stripe) return;
            ReadBufArgs_t readArgs;
            readArgs.maxLength = std::min<uint64_t>(share.storedSize - read, kRestoreChunk);
            ReadBufRet_t readRet;
            FreeBufArgs_t freeArgs;
            if (archive->readBuffer(&readArgs, &readRet) == 0) {
                throw jobFailed(where(share) + ": the media side delivered " +
                                std::to_string(read) + " of " +
                                std::to_string(share.storedSize) + " bytes");
            }
            if (readRet.messageType == localplatform::kDataMessage) {
                const auto got = static_cast<std::size_t>(
                    std::min<uint64_t>(readRet.dataLength, share.storedSize - read));
                read += got;
                try {
                    decoder.write(readRet.data, got);
                } catch (...) {
                    archive->freeBuffer(&freeArgs, nullptr);
                    throw;
                }
            }
            archive->freeBuffer(&freeArgs, nullptr);
        }
        if (!wanted) return;
        decoder.finish();
        if (stripe < file.stripes.size()) {
            throw jobFailed("stripe " + std::to_string(stripe + 1) + " of " + file.name + " (" +
                            where(share) + ") is missing from the frames; it is damaged");
        }
    } catch (...) {
        failure.stripe = stripe;
        failure.error = std::current_exception();
    }
}

}  // namespace

void readStripedShares(const std::map<unsigned long, PipelineInfo>& streams,
                       const ManifestFile& file, StripeSink& sink, StreamPhases* phases,
                       const JobStages* stages) {
    std::atomic<uint64_t> stopAt{std::numeric_limits<uint64_t>::max()};
    std::vector<Failure> failures(file.shares.size());
    std::mutex failing;
    JoinedThreads threads;
    for (std::size_t i = 0; i < file.shares.size(); ++i) {
        const ManifestShare& share = file.shares[i];
        const auto found = streams.find(share.archive.stream);
        if (found == streams.end() || found->second.archive == nullptr) {
            stopAt = 0;
            sink.failedAt(0);
            failures[i].stripe = 0;
            failures[i].error = std::make_exception_ptr(
                jobFailed(where(share) + " was not opened by the restore request"));
            break;
        }
        ZebArchive* archive = found->second.archive;
        const std::string name = "stream " + std::to_string(share.archive.stream);
        const std::exception_ptr notStarted = threads.start(name, [&, archive, i] {
            const unsigned long k = static_cast<unsigned long>(i) + 1;
            if (stages) {
                readFramedStripes(archive, file, k, *stages, sink, stopAt, failures[i], phases);
            } else {
                readStripes(archive, file, k, sink, stopAt, failures[i], phases);
            }
            if (failures[i].error) {
                std::lock_guard<std::mutex> lock(failing);
                if (failures[i].stripe < stopAt.load()) stopAt = failures[i].stripe;
                sink.failedAt(failures[i].stripe);
            }
            if (phases) phases->enter(k, Phase::Idle);
        });
        if (notStarted) {
            // Stripe i is this stream's first: the output stops before it.
            std::lock_guard<std::mutex> lock(failing);
            stopAt = std::min<uint64_t>(stopAt.load(), i);
            sink.failedAt(i);
            failures[i].stripe = i;
            failures[i].error = notStarted;
            break;
        }
    }
    const std::exception_ptr escaped = threads.join();
    // The first failure in the input's order is the one the output shows.
    const Failure* first = nullptr;
    for (const Failure& failure : failures) {
        if (failure.error && (!first || failure.stripe < first->stripe)) first = &failure;
    }
    if (first) std::rethrow_exception(first->error);
    if (escaped) std::rethrow_exception(escaped);
}
