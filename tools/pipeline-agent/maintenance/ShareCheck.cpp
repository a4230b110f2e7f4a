#include "maintenance/ShareCheck.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

#include "base/AgentError.h"
#include "base/Sha256.h"
#include "stages/FrameDecoder.h"
#include "streams/PieceBytes.h"

namespace {

constexpr std::size_t kReadChunk = 1 << 20;

// A decoder of the share's frames that hashes and counts the bytes they
// decode to; null without stages. A stream input's frames are its stripes.
std::unique_ptr<FrameDecoder> decoderFor(const ManifestFile& file, const ManifestShare& share,
                                         const JobStages* stages, Sha256& logical,
                                         uint64_t& logicalBytes) {
    if (!stages) return nullptr;
    const std::size_t frameSize =
        file.isStream() ? static_cast<std::size_t>(file.stripeUnit) : stages->frameSize;
    return std::make_unique<FrameDecoder>(
        stages->part(file.name, share.archive.stream, frameSize),
        [&logical, &logicalBytes](const uint8_t* data, std::size_t length) {
            logical.update(data, length);
            logicalBytes += length;
        });
}

// Reads storedSize bytes of data from seekOffset, a MiB at a time, handing
// each chunk to take and then telling count. False when the data ends
// first. Throws what take, count or the read throw.
template <typename Take>
bool readStored(localplatform::ArchiveData& data, uint64_t seekOffset, uint64_t storedSize,
                const std::function<void(std::size_t)>& count, Take&& take) {
    std::vector<char> buffer(kReadChunk);
    for (uint64_t done = 0; done < storedSize;) {
        const auto length =
            static_cast<std::size_t>(std::min<uint64_t>(kReadChunk, storedSize - done));
        if (!data.readExactly(buffer.data(), length, seekOffset + done)) return false;
        take(buffer.data(), length);
        done += length;
        count(length);
    }
    return true;
}

}  // namespace

std::string checkShare(localplatform::ArchiveData& data, const ManifestFile& file,
                       const ManifestShare& share, const JobStages* stages,
                       const std::function<void(std::size_t)>& count) {
    Sha256 stored;
    Sha256 logical;
    uint64_t logicalBytes = 0;
    const std::unique_ptr<FrameDecoder> decoder =
        decoderFor(file, share, stages, logical, logicalBytes);
    try {
        const bool whole = readStored(data, share.seekOffset, share.storedSize, count,
                                      [&](const char* chunk, std::size_t length) {
                                          stored.update(chunk, length);
                                          if (decoder) decoder->write(chunk, length);
                                      });
        if (!whole) {
            return "its stored bytes end before the manifest's " +
                   std::to_string(share.storedSize);
        }
        if (decoder) decoder->finish();
    } catch (const AgentError& error) {
        return error.what();
    }
    if (stored.hex() != share.storedSha256) {
        return "its stored bytes do not match the manifest's checksum";
    }
    if (decoder && (logicalBytes != share.size || logical.hex() != share.sha256)) {
        return "its frames decode to bytes that do not match the manifest's checksum";
    }
    return "";
}

std::string checkPiece(localplatform::ArchiveData& data, const ManifestFile& file,
                       const ManifestPiece& piece, bool framed, const JobStages* stages,
                       const std::function<void(std::size_t)>& count) {
    const std::string name = "the piece at bytes " + std::to_string(piece.sourceOffset) + " to " +
                             std::to_string(piece.sourceOffset + piece.size);
    Sha256 stored;
    std::optional<PieceBytes> bytes;
    if (!framed || stages) {
        bytes.emplace(file, piece, stages, name, [](const uint8_t*, std::size_t, uint64_t) {});
    }
    try {
        const bool whole = readStored(data, piece.seekOffset, piece.storedSize, count,
                                      [&](const char* chunk, std::size_t length) {
                                          stored.update(chunk, length);
                                          if (bytes) {
                                              bytes->write(
                                                  reinterpret_cast<const uint8_t*>(chunk), length);
                                          }
                                      });
        if (!whole) {
            return name + ": its stored bytes end before the manifest's " +
                   std::to_string(piece.storedSize);
        }
        if (bytes) bytes->finish();
    } catch (const AgentError& error) {
        return error.what();
    }
    if (!piece.storedSha256.empty() && stored.hex() != piece.storedSha256) {
        return name + ": its stored bytes do not match the manifest's checksum";
    }
    return "";
}
