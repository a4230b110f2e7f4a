#include "streams/RestoreStreams.h"

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "streams/StreamThreads.h"
#include "base/Sha256.h"
#include "streams/FileDigest.h"
#include "outputs/WriteAt.h"
#include "platform/EvEvent.h"
#include "platform/ZebArchive.h"
#include "stages/FrameDecoder.h"
#include "platform/local/ArchiveFiles.h"

namespace {

// Set when a stream fails, so that the others stop at their next delivery.
using Abandoned = std::atomic<bool>;

std::string where(const ManifestShare& share) {
    return "stream " + std::to_string(share.archive.stream) + ", archive file " +
           archiveFileName(share.archive);
}

// Reads one part of the file from its stream's archive object into write:
// its bytes as they are, or (stages) its frames, each decoded and verified
// before write sees its bytes.
template <typename Write>
void readShareInto(ZebArchive* archive, const ManifestFile& file, const ManifestShare& share,
                   const JobStages* stages, Write&& write, const Abandoned& abandoned,
                   StreamPhases* phases) {
    Sha256 digest;
    uint64_t done = 0;  // logical bytes written
    const auto deliver = [&](const void* data, std::size_t length) {
        write(data, length, share.sourceOffset + done);
        digest.update(data, length);
        done += length;
        if (phases) phases->moved(share.archive.stream, length);
    };
    std::unique_ptr<FrameDecoder> decoder;
    if (stages) {
        decoder = std::make_unique<FrameDecoder>(
            // Frames are no larger than the part (BackupStreams): nor need
            // the buffers be.
            stages->part(file.name, share.archive.stream,
                         static_cast<std::size_t>(std::min<uint64_t>(
                             stages->frameSize, std::max<uint64_t>(share.size, 1)))),
            [&](const uint8_t* data, std::size_t length) {
                if (length > share.size - done) {
                    throw jobFailed(file.name + ", " + where(share) + ": the frames hold more than the part's " +
                                    std::to_string(share.size) + " bytes");
                }
                deliver(data, length);
            });
    }
    const uint64_t total = stages ? share.storedSize : share.size;
    uint64_t read = 0;
    while (read < total) {
        throwIfInterrupted();
        ReadBufArgs_t readArgs;
        readArgs.maxLength = std::min<uint64_t>(total - read, kRestoreChunk);
        ReadBufRet_t readRet;
        FreeBufArgs_t freeArgs;
        if (archive->readBuffer(&readArgs, &readRet) == 0) {
            throw jobFailed(where(share) + ": the media side delivered " + std::to_string(read) +
                            " of " + std::to_string(total) + " bytes");
        }
        if (readRet.messageType == localplatform::kDataMessage) {
            const auto length =
                static_cast<std::size_t>(std::min<uint64_t>(readRet.dataLength, total - read));
            if (decoder) {
                decoder->write(readRet.data, length);
            } else {
                deliver(readRet.data, length);
            }
            read += length;
            if (abandoned) {
                archive->freeBuffer(&freeArgs, nullptr);
                return;  // another stream failed; its failure is reported
            }
        }
        archive->freeBuffer(&freeArgs, nullptr);
    }
    if (decoder) {
        decoder->finish();
        if (done != share.size) {
            throw jobFailed(file.name + ", " + where(share) + ": the frames hold " +
                            std::to_string(done) + " of the part's " + std::to_string(share.size) +
                            " bytes; it is damaged");
        }
    }
    if (digest.hex() != share.sha256) {
        throw jobFailed((stages ? file.name + ", " : std::string()) + where(share) +
                        " does not match the manifest's checksum; it is damaged");
    }
}

// Reads part `part` of the file into the output, and hands its bytes to the
// file's digest.
void readShare(ZebArchive* archive, const ManifestFile& file, std::size_t part,
               const JobStages* stages, OutputFile& output, FileDigest& fileDigest,
               const Abandoned& abandoned, StreamPhases* phases) {
    readShareInto(
        archive, file, file.shares[part], stages,
        [&output, &fileDigest, part](const void* data, std::size_t length, uint64_t offset) {
            output.writeAt(data, length, offset);
            fileDigest.written(part, data, length);
        },
        abandoned, phases);
}

// Reads back length bytes of what was written to fd at offset.
void readAll(int fd, void* data, std::size_t length, uint64_t offset, const std::string& name) {
    char* bytes = static_cast<char*>(data);
    while (length > 0) {
        const ssize_t got = ::pread(fd, bytes, length, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            throw jobFailed("cannot read back " + name + ": " +
                            (got < 0 ? std::strerror(errno) : "it is shorter than written"));
        }
        bytes += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<uint64_t>(got);
    }
}

// What the threads of readRunShares share: each file's descriptor and
// digest from the moment its output is open until it is whole, and how many
// of its shares are not yet in. Every member function may be called from
// any of the run's threads.
class RunReader {
public:
    RunReader(const std::vector<const ManifestFile*>& files, RunOutputs& outputs,
              StreamPhases* phases, const JobStages* stages)
        : m_files(files),
          m_outputs(outputs),
          m_phases(phases),
          m_stages(stages),
          m_fds(files.size(), -1),
          m_digests(files.size()),
          m_left(files.size(), 0) {
        for (std::size_t i = 0; i < files.size(); ++i) {
            m_streamCount = std::max(m_streamCount, files[i]->shares.size());
            for (const ManifestShare& share : files[i]->shares) {
                m_left[i] += share.size > 0 ? 1 : 0;
            }
        }
        m_holders = m_left;
    }

    // How many streams the run's files are spread over.
    std::size_t streamCount() const { return m_streamCount; }
    // Whether stream k (from 0) holds a share of any file of the run.
    bool holds(std::size_t k) const {
        for (const ManifestFile* file : m_files) {
            if (file->shares[k].size > 0) return true;
        }
        return false;
    }
    // Stream k's thread: reads its shares of the run in turn from archive,
    // each into its file, until all are read or a stream failed. Throws
    // AgentError (failed job).
    void readStream(ZebArchive* archive, std::size_t k) {
        for (std::size_t i = 0; i < m_files.size() && !abandoned; ++i) {
            const ManifestShare& share = m_files[i]->shares[k];
            if (share.size == 0) continue;
            const auto [fd, digest] = openFile(i);
            readShareInto(
                archive, *m_files[i], share, m_stages,
                [this, fd = fd, digest = digest, i, k](const void* data, std::size_t length,
                                                       uint64_t offset) {
                    writeAllAt(fd, data, length, offset, m_files[i]->name);
                    digest->written(k, data, length);
                },
                abandoned, m_phases);
            if (abandoned) break;
            shareIn(i, fd, *digest);
        }
    }
    // After every thread was joined: closes the files a failure left open.
    void closeLeftOpen() {
        for (int fd : m_fds) {
            if (fd >= 0) ::close(fd);
        }
    }

    Abandoned abandoned{false};

private:
    // File i's descriptor and digest, the file opened by the first stream
    // that reaches it.
    std::pair<int, FileDigest*> openFile(std::size_t i) {
        if (m_holders[i] == 1) {
            // This stream holds all of it: nobody else opens it.
            const int fd = m_outputs.open(i);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fds[i] = fd;
            return {fd, startDigest(i, fd)};
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fds[i] < 0) {
            m_fds[i] = m_outputs.open(i);
            return {m_fds[i], startDigest(i, m_fds[i])};
        }
        return {m_fds[i], m_digests[i].get()};
    }
    // With m_mutex held: file i's digest, taken in file order from its
    // shares as they come, reading back from fd what came before its turn.
    FileDigest* startDigest(std::size_t i, int fd) {
        const ManifestFile* file = m_files[i];
        m_digests[i] = std::make_unique<FileDigest>(
            *file, [fd, file](void* buffer, std::size_t length, uint64_t offset) {
                readAll(fd, buffer, length, offset, file->name);
            });
        return m_digests[i].get();
    }
    // A share of file i is in: once all are, the file must match the digest
    // the manifest records for it (every share matched its own), and goes
    // back to the outputs.
    void shareIn(std::size_t i, int fd, FileDigest& digest) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (--m_left[i] != 0) return;
        }
        requireFileDigest(*m_files[i], digest.finish());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_fds[i] = -1;
            m_digests[i].reset();
        }
        m_outputs.finish(i, fd);
    }

    const std::vector<const ManifestFile*>& m_files;
    RunOutputs& m_outputs;
    StreamPhases* const m_phases;
    const JobStages* const m_stages;
    std::mutex m_mutex;
    std::vector<int> m_fds;                              // under m_mutex
    std::vector<std::unique_ptr<FileDigest>> m_digests;  // under m_mutex
    std::vector<std::size_t> m_left;                     // shares not yet in, under m_mutex
    std::vector<std::size_t> m_holders;                  // streams that hold part of each file
    std::size_t m_streamCount = 0;
};

}  // namespace

void readRunShares(const std::map<unsigned long, PipelineInfo>& streams,
                   const std::vector<const ManifestFile*>& files, RunOutputs& outputs,
                   StreamPhases* phases, const JobStages* stages) {
    RunReader reader(files, outputs, phases, stages);
    StreamThreads threads(reader.streamCount(), phases, reader.abandoned);
    for (std::size_t k = 0; k < reader.streamCount(); ++k) {
        if (!reader.holds(k)) continue;
        const ManifestShare& first = files[0]->shares[k];
        const auto found = streams.find(first.archive.stream);
        if (found == streams.end() || found->second.archive == nullptr) {
            threads.fail(k, std::make_exception_ptr(jobFailed(
                                where(first) + " was not opened by the restore request")));
            break;
        }
        ZebArchive* archive = found->second.archive;
        const bool started = threads.start(k, first.archive.stream,
                                           [&reader, archive, k] { reader.readStream(archive, k); });
        if (!started) break;
    }
    const std::exception_ptr failure = threads.join();
    reader.closeLeftOpen();
    if (failure) std::rethrow_exception(failure);
}

std::string readFileShares(const std::map<unsigned long, PipelineInfo>& streams,
                           const ManifestFile& file, OutputFile& output, StreamPhases* phases,
                           const JobStages* stages) {
    Abandoned abandoned{false};
    FileDigest fileDigest(file, [&output](void* buffer, std::size_t length,
                                                     uint64_t offset) {
        output.readAt(buffer, length, offset);
    });
    StreamThreads threads(file.shares.size(), phases, abandoned);
    for (std::size_t i = 0; i < file.shares.size(); ++i) {
        const ManifestShare& share = file.shares[i];
        const auto found = streams.find(share.archive.stream);
        if (found == streams.end() || found->second.archive == nullptr) {
            threads.fail(i, std::make_exception_ptr(jobFailed(
                                where(share) + " was not opened by the restore request")));
            break;
        }
        ZebArchive* archive = found->second.archive;
        const bool started = threads.start(i, share.archive.stream, [&, archive, i] {
            readShare(archive, file, i, stages, output, fileDigest, abandoned, phases);
        });
        if (!started) break;
    }
    if (const std::exception_ptr failure = threads.join()) std::rethrow_exception(failure);
    const std::string digest = fileDigest.finish();
    EvEvent event;
    if (partsVouchForFile(file)) {
        event.DebugLvl("readFileShares", 2, "%s: file digest vouched for by its parts",
                       file.name.c_str());
    } else {
        event.DebugLvl("readFileShares", 2,
                       "%s: file digest taken in order, %llu of %llu bytes read back from the output",
                       file.name.c_str(),
                       static_cast<unsigned long long>(fileDigest.readBackBytes()),
                       static_cast<unsigned long long>(file.size));
    }
    requireFileDigest(file, digest);
    return digest;
}
