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

}  // namespace

std::string checkShare(localplatform::ArchiveData& data, const ManifestFile& file,
                       const ManifestShare& share, const JobStages* stages,
                       const std::function<void(std::size_t)>& count) {
    Sha256 stored;
    Sha256 logical;
    uint64_t logicalBytes = 0;
    const std::unique_ptr<FrameDecoder> decoder =
        decoderFor(file, share, stages, logical, logicalBytes);
    std::vector<char> buffer(kReadChunk);
    try {
        for (uint64_t done = 0; done < share.storedSize;) {
            const auto length =
                static_cast<std::size_t>(std::min<uint64_t>(kReadChunk, share.storedSize - done));
            if (!data.readExactly(buffer.data(), length, share.seekOffset + done)) {
                return "its stored bytes end before the manifest's " +
                       std::to_string(share.storedSize);
            }
            stored.update(buffer.data(), length);
            if (decoder) decoder->write(buffer.data(), length);
            done += length;
            count(length);
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
    std::vector<char> buffer(kReadChunk);
    try {
        for (uint64_t done = 0; done < piece.storedSize;) {
            const auto length =
                static_cast<std::size_t>(std::min<uint64_t>(kReadChunk, piece.storedSize - done));
            if (!data.readExactly(buffer.data(), length, piece.seekOffset + done)) {
                return name + ": its stored bytes end before the manifest's " +
                       std::to_string(piece.storedSize);
            }
            stored.update(buffer.data(), length);
            if (bytes) bytes->write(reinterpret_cast<const uint8_t*>(buffer.data()), length);
            done += length;
            count(length);
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
