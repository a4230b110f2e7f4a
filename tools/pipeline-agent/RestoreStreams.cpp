#include "RestoreStreams.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "AgentError.h"
#include "Interrupt.h"
#include "Sha256.h"
#include "platform/ZebArchive.h"
#include "platform/local/LocalPlatform.h"

namespace {

// The whole file's digest, fed by the streams' threads in the order of their
// parts: part k is fed only after parts 1..k-1 are complete.
class OrderedDigest {
public:
    explicit OrderedDigest(const ManifestFile& file) : m_file(file) { skipEmptyParts(); }

    // Feeds the next bytes of part `index` (0-based), waiting until it is
    // that part's turn. False when the digest was abandoned meanwhile.
    bool feed(std::size_t index, const char* data, std::size_t length) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_abandoned || m_current == index; });
        if (m_abandoned) return false;
        m_digest.update(data, length);
        m_fed += length;
        if (m_fed >= m_file.shares[m_current].size) {
            ++m_current;
            m_fed = 0;
            skipEmptyParts();
            lock.unlock();
            m_changed.notify_all();
        }
        return true;
    }

    // Wakes and refuses every thread that waits or comes to feed.
    void abandon() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_abandoned = true;
        }
        m_changed.notify_all();
    }

    // Once every part was fed.
    std::string hex() { return m_digest.hex(); }

private:
    void skipEmptyParts() {
        while (m_current < m_file.shares.size() && m_file.shares[m_current].size == 0) ++m_current;
    }

    const ManifestFile& m_file;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_current = 0;
    uint64_t m_fed = 0;
    bool m_abandoned = false;
    Sha256 m_digest;
};

std::string where(const ManifestShare& share) {
    return "stream " + std::to_string(share.archive.stream) + ", archive file " +
           archiveFileName(share.archive);
}

// Reads part `index` of the file from its stream's archive object.
void readShare(ZebArchive* archive, const ManifestShare& share, std::size_t index,
               OutputFile& output, OrderedDigest& whole) {
    Sha256 digest;
    uint64_t done = 0;
    while (done < share.size) {
        throwIfInterrupted();
        ReadBufArgs_t readArgs;
        readArgs.maxLength = std::min<uint64_t>(share.size - done, kRestoreChunk);
        ReadBufRet_t readRet;
        FreeBufArgs_t freeArgs;
        if (archive->readBuffer(&readArgs, &readRet) == 0) {
            throw jobFailed(where(share) + ": the media side delivered " + std::to_string(done) +
                            " of " + std::to_string(share.size) + " bytes (see the log above)");
        }
        if (readRet.messageType == localplatform::kDataMessage) {
            const auto length =
                static_cast<std::size_t>(std::min<uint64_t>(readRet.dataLength, share.size - done));
            output.writeAt(readRet.data, length, share.sourceOffset + done);
            digest.update(readRet.data, length);
            if (!whole.feed(index, readRet.data, length)) {
                archive->freeBuffer(&freeArgs, nullptr);
                return;  // another stream failed; its failure is reported
            }
            done += length;
        }
        archive->freeBuffer(&freeArgs, nullptr);
    }
    if (digest.hex() != share.sha256) {
        throw jobFailed(where(share) + " does not match the manifest's checksum; it is damaged");
    }
}

}  // namespace

void readFileShares(const std::map<unsigned long, PipelineInfo>& streams, const ManifestFile& file,
                    OutputFile& output) {
    OrderedDigest whole(file);
    std::vector<std::exception_ptr> failures(file.shares.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < file.shares.size(); ++i) {
        const ManifestShare& share = file.shares[i];
        const auto found = streams.find(share.archive.stream);
        if (found == streams.end() || found->second.archive == nullptr) {
            whole.abandon();
            failures[i] = std::make_exception_ptr(
                jobFailed(where(share) + " was not opened by the restore request"));
            break;
        }
        ZebArchive* archive = found->second.archive;
        threads.emplace_back([&, archive, i] {
            try {
                readShare(archive, file.shares[i], i, output, whole);
            } catch (...) {
                failures[i] = std::current_exception();
                whole.abandon();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    if (whole.hex() != file.sha256) {
        throw jobFailed("the restored " + file.name + " does not match the manifest's checksum");
    }
}
