#include "manifest/BlockPieces.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "base/Sha256.h"

uint64_t blockSizeOf(const ManifestStages& stages) {
    return stages.framed ? stages.frameSize : kPlainBlockSize;
}

uint64_t blocksIn(uint64_t size, uint64_t blockSize) {
    return size / blockSize + (size % blockSize != 0);
}

BlockDigests::BlockDigests(uint64_t blockSize) : m_blockSize(blockSize) {}

BlockDigests::~BlockDigests() = default;

void BlockDigests::update(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        if (!m_block) m_block = std::make_unique<Sha256>();
        const auto take =
            static_cast<std::size_t>(std::min<uint64_t>(length, m_blockSize - m_fill));
        m_block->update(bytes, take);
        bytes += take;
        length -= take;
        m_fill += take;
        if (m_fill == m_blockSize) {
            m_digests += m_block->hex();
            m_block.reset();
            m_fill = 0;
        }
    }
}

std::string BlockDigests::finish() {
    if (m_block) m_digests += m_block->hex();
    m_block.reset();
    m_fill = 0;
    return std::move(m_digests);
}

BlockCheck::BlockCheck(const ManifestFile& file, uint64_t from)
    : m_file(file), m_index(static_cast<std::size_t>(from / file.blockSize)) {}

BlockCheck::~BlockCheck() = default;

std::size_t BlockCheck::update(const void* data, std::size_t length) {
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        if (m_index >= m_file.blockCount()) return m_index;
        const uint64_t start = m_index * m_file.blockSize;
        const uint64_t blockLength = std::min(m_file.blockSize, m_file.size - start);
        if (!m_block) m_block = std::make_unique<Sha256>();
        const auto take =
            static_cast<std::size_t>(std::min<uint64_t>(length, blockLength - m_fill));
        m_block->update(bytes, take);
        bytes += take;
        length -= take;
        m_fill += take;
        if (m_fill == blockLength) {
            if (m_block->hex() != m_file.blockDigest(m_index)) {
                m_block.reset();
                return m_index;
            }
            m_block.reset();
            m_fill = 0;
            ++m_index;
        }
    }
    return SIZE_MAX;
}

std::vector<ManifestPiece> heldPiecesOf(const ManifestFile& file, const Manifest& job,
                                        std::vector<uint64_t>& frameSizes) {
    const auto frameSizeOf = [&](unsigned long long holder) -> uint64_t {
        const ManifestReference* reference = job.referenceTo(holder);
        const ManifestStages& stages =
            holder == job.jobId || !reference ? job.stages : reference->stages;
        return stages.framed ? stages.frameSize : 0;
    };
    std::vector<ManifestPiece> held;
    frameSizes.clear();
    for (ManifestPiece piece : file.pieces) {
        if (piece.heldBy == 0) piece.heldBy = job.jobId;
        piece.sha256.clear();
        piece.storedSha256.clear();
        frameSizes.push_back(frameSizeOf(piece.heldBy));
        held.push_back(std::move(piece));
    }
    if (file.hasPieces()) return held;
    const unsigned long long holder = file.heldBy != 0 ? file.heldBy : job.jobId;
    const uint64_t frameSize = frameSizeOf(holder);
    for (const ManifestShare& share : file.shares) {
        if (share.size == 0 || (frameSize != 0 && share.frames.empty())) continue;
        ManifestPiece piece;
        piece.heldBy = holder;
        piece.archive = share.archive;
        piece.sourceOffset = share.sourceOffset;
        piece.seekOffset = share.seekOffset;
        piece.size = share.size;
        piece.storedSize = share.storedSize;
        piece.frames = share.frames;
        frameSizes.push_back(frameSize);
        held.push_back(std::move(piece));
    }
    return held;
}

ManifestPiece slicePiece(const ManifestPiece& held, uint64_t frameSize, uint64_t from,
                         uint64_t length) {
    ManifestPiece piece;
    piece.heldBy = held.heldBy;
    piece.archive = held.archive;
    piece.sourceOffset = from;
    piece.size = length;
    const uint64_t into = from - held.sourceOffset;
    if (frameSize == 0) {
        piece.seekOffset = held.seekOffset + into;
        piece.storedSize = length;
        return piece;
    }
    const uint64_t position = held.frameOffset + into;
    const auto first = static_cast<std::size_t>(position / frameSize);
    const auto last = static_cast<std::size_t>((position + length - 1) / frameSize);
    piece.frameIndex = held.frameIndex + first;
    piece.frameOffset = position % frameSize;
    piece.seekOffset =
        std::accumulate(held.frames.begin(), held.frames.begin() + first, held.seekOffset);
    piece.frames.assign(held.frames.begin() + first, held.frames.begin() + last + 1);
    piece.storedSize = std::accumulate(piece.frames.begin(), piece.frames.end(), uint64_t{0});
    return piece;
}

BlockPlan planBlocks(uint64_t size, uint64_t blockSize, const std::string& digests,
                     const ManifestFile& before, const Manifest& reference) {
    const uint64_t count = blocksIn(size, blockSize);
    const uint64_t beforeCount = before.blockCount();
    const auto same = [&](uint64_t i) {
        return i < count && i < beforeCount &&
               digests.compare(i * 64, 64, before.blocks, i * 64, 64) == 0;
    };
    BlockPlan plan;
    std::vector<bool> kept(count, false);
    std::vector<uint64_t> frameSizes;
    const std::vector<ManifestPiece> held = heldPiecesOf(before, reference, frameSizes);
    for (std::size_t w = 0; w < held.size(); ++w) {
        const ManifestPiece& piece = held[w];
        const uint64_t end = piece.sourceOffset + piece.size;
        // The blocks that lie whole within the piece: the file's last one
        // when the piece ends where the file did.
        const uint64_t first = blocksIn(piece.sourceOffset, blockSize);
        const uint64_t past = end == before.size ? beforeCount : end / blockSize;
        for (uint64_t i = first; i < past;) {
            if (!same(i)) {
                ++i;
                continue;
            }
            uint64_t j = i;
            while (j < past && same(j)) kept[j++] = true;
            const uint64_t from = i * blockSize;
            plan.kept.push_back(
                slicePiece(piece, frameSizes[w], from, std::min(j * blockSize, size) - from));
            i = j;
        }
    }
    std::sort(plan.kept.begin(), plan.kept.end(),
              [](const ManifestPiece& a, const ManifestPiece& b) {
                  return a.sourceOffset < b.sourceOffset;
              });
    for (uint64_t i = 0; i < count;) {
        if (kept[i]) {
            ++i;
            continue;
        }
        uint64_t j = i;
        while (j < count && !kept[j]) ++j;
        const uint64_t from = i * blockSize;
        plan.changed.push_back({from, std::min(j * blockSize, size) - from});
        plan.changedBlocks += j - i;
        i = j;
    }
    return plan;
}
