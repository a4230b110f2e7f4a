#include "streams/PieceReader.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <string>

#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "platform/ZebArchive.h"
#include "platform/local/ArchiveFiles.h"
#include "streams/PieceBytes.h"
#include "streams/RestoreStreams.h"
#include "streams/StreamThreads.h"

namespace {

using Abandoned = std::atomic<bool>;

std::string where(const ManifestArchive& archive) {
    return "stream " + std::to_string(archive.stream) + ", archive file " +
           archiveFileName(archive);
}

// Reads exactly `length` bytes from the stream's archive object, handing
// each delivery to take. False when another stream failed meanwhile.
template <typename Take>
bool readExactly(ZebArchive* archive, uint64_t length, const ManifestArchive& from,
                 const Abandoned& abandoned, Take&& take) {
    for (uint64_t read = 0; read < length;) {
        throwIfInterrupted();
        ReadBufArgs_t readArgs;
        readArgs.maxLength = std::min<uint64_t>(length - read, kRestoreChunk);
        ReadBufRet_t readRet;
        FreeBufArgs_t freeArgs;
        if (archive->readBuffer(&readArgs, &readRet) == 0) {
            throw jobFailed(where(from) + ": the media side delivered " + std::to_string(read) +
                            " of " + std::to_string(length) + " bytes");
        }
        if (readRet.messageType == localplatform::kDataMessage) {
            const auto got =
                static_cast<std::size_t>(std::min<uint64_t>(readRet.dataLength, length - read));
            try {
                take(reinterpret_cast<const uint8_t*>(readRet.data), got);
            } catch (...) {
                archive->freeBuffer(&freeArgs, nullptr);
                throw;
            }
            read += got;
        }
        archive->freeBuffer(&freeArgs, nullptr);
        if (abandoned) return false;
    }
    return true;
}

// One stream's thread of a run: its pieces in turn.
class StreamPieces {
public:
    StreamPieces(ZebArchive* archive, const ManifestShare& start,
                 const std::vector<const ManifestFile*>& files, PieceOutputs& outputs,
                 StreamPhases* phases, const JobStages* stages, const Abandoned& abandoned)
        : m_archive(archive),
          m_position(start.seekOffset),
          m_files(files),
          m_outputs(outputs),
          m_phases(phases),
          m_stages(stages),
          m_abandoned(abandoned) {}

    // Reads each piece of `reads` in turn; false when another stream failed.
    bool read(const std::vector<PieceRead>& reads) {
        for (const PieceRead& read : reads) {
            const ManifestPiece& piece = m_files[read.file]->pieces[read.piece];
            if (!skipTo(piece) || !readPiece(read.file, piece)) return false;
        }
        return true;
    }

private:
    // Reads and drops what lies between the stream's place and the piece.
    bool skipTo(const ManifestPiece& piece) {
        if (piece.seekOffset < m_position) {
            throw jobFailed(where(piece.archive) + ": a piece at byte " +
                            std::to_string(piece.seekOffset) + " lies before the stream's place " +
                            std::to_string(m_position));
        }
        const uint64_t gap = piece.seekOffset - m_position;
        m_position = piece.seekOffset;
        return readExactly(m_archive, gap, piece.archive, m_abandoned,
                           [](const uint8_t*, std::size_t) {});
    }

    bool readPiece(std::size_t file, const ManifestPiece& piece) {
        const ManifestFile& f = *m_files[file];
        PieceBytes bytes(f, piece, m_stages, f.name + ", " + where(piece.archive),
                         [&](const uint8_t* data, std::size_t length, uint64_t offset) {
                             m_outputs.write(file, data, length, offset);
                             if (m_phases) m_phases->moved(piece.archive.stream, length);
                         });
        const bool read = readExactly(m_archive, piece.storedSize, piece.archive, m_abandoned,
                                      [&](const uint8_t* data, std::size_t length) {
                                          bytes.write(data, length);
                                      });
        if (!read) return false;
        m_position += piece.storedSize;
        bytes.finish();
        return true;
    }

    ZebArchive* const m_archive;
    uint64_t m_position;  // where the stream stands in its archive file
    const std::vector<const ManifestFile*>& m_files;
    PieceOutputs& m_outputs;
    StreamPhases* const m_phases;
    const JobStages* const m_stages;
    const Abandoned& m_abandoned;
};

}  // namespace

std::size_t PieceRun::pieceCount() const {
    std::size_t count = 0;
    for (const std::vector<PieceRead>& stream : streams) count += stream.size();
    return count;
}

void readPieceRun(const std::map<unsigned long, PipelineInfo>& streams, const PieceRun& run,
                  const std::vector<const ManifestFile*>& files, PieceOutputs& outputs,
                  StreamPhases* phases, const JobStages* stages) {
    Abandoned abandoned{false};
    StreamThreads threads(run.streams.size(), phases, abandoned);
    for (std::size_t k = 0; k < run.streams.size(); ++k) {
        if (run.streams[k].empty()) continue;
        const ManifestShare& start = run.start.shares[k];
        const auto found = streams.find(start.archive.stream);
        if (found == streams.end() || found->second.archive == nullptr) {
            threads.fail(k, std::make_exception_ptr(jobFailed(
                                where(start.archive) + " was not opened by the restore request")));
            break;
        }
        ZebArchive* archive = found->second.archive;
        const bool started = threads.start(k, start.archive.stream, [&, archive, k] {
            StreamPieces reader(archive, run.start.shares[k], files, outputs, phases, stages,
                                abandoned);
            reader.read(run.streams[k]);
        });
        if (!started) break;
    }
    if (const std::exception_ptr failure = threads.join()) std::rethrow_exception(failure);
}
