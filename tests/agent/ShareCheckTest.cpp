// check's reading of one share of a job with stages: from its place in the
// archive file, a MiB at a time, its stored digest and its decoded frames
// verified, and every way it can be wrong said in one line.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/Sha256.h"
#include "manifest/BlockPieces.h"
#include "maintenance/ShareCheck.h"
#include "platform/local/Config.h"
#include "stages/DataKeyWrap.h"
#include "stages/FrameEncoder.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::size_t kMiB = 1 << 20;

// An archive file's data held in memory.
class MemoryData : public localplatform::ArchiveData {
public:
    explicit MemoryData(Bytes bytes) : m_bytes(std::move(bytes)) {}
    unsigned long long size() const override { return m_bytes.size(); }
    bool readExactly(void* data, std::size_t length, unsigned long long offset) override {
        if (offset > m_bytes.size() || length > m_bytes.size() - offset) return false;
        std::memcpy(data, m_bytes.data() + offset, length);
        return true;
    }
    Bytes& bytes() { return m_bytes; }

private:
    Bytes m_bytes;
};

Bytes noise(std::size_t size) {
    Bytes data(size);
    std::mt19937 random(9);
    for (auto& byte : data) byte = static_cast<uint8_t>(random());
    return data;
}

std::string sha256(const Bytes& data) {
    Sha256 digest;
    digest.update(data.data(), data.size());
    return digest.hex();
}

// A share of `logical` on stream 2, its frames made with stages as a backup
// makes them, after `before` bytes of another file's share.
struct StagedShare {
    ManifestFile file;
    ManifestShare share;
    std::vector<uint64_t> frames;  // each frame's stored size
    Bytes archive;                 // the archive file's data

    StagedShare(const JobStages& stages, const Bytes& logical, std::size_t frameSize,
                std::size_t before = 1000) {
        file.name = "db.sqlite";
        file.size = logical.size();
        archive = noise(before);
        FrameEncoder encoder(stages.part(file.name, 2, frameSize), [&](const StoredFrame& frame) {
            archive.insert(archive.end(), frame.data, frame.data + frame.size);
            frames.push_back(frame.size);
        });
        encoder.write(logical.data(), logical.size());
        encoder.finish();
        share.archive.stream = 2;
        share.seekOffset = before;
        share.size = logical.size();
        share.sha256 = sha256(logical);
        share.storedSize = archive.size() - before;
        share.storedSha256 =
            sha256(Bytes(archive.begin() + static_cast<long>(before), archive.end()));
    }
};

JobStages plainStages() {
    JobStages stages;
    stages.codec = Codec::None;
    stages.frameSize = kMiB;
    stages.jobId = 41;
    return stages;
}

}  // namespace

TEST(ShareCheck, ReadsTheShareFromItsPlaceAMiBAtATime) {
    const JobStages stages = plainStages();
    const StagedShare staged(stages, noise(kMiB + kMiB / 2), stages.frameSize);
    MemoryData data(staged.archive);
    std::vector<std::size_t> chunks;
    EXPECT_EQ(checkShare(data, staged.file, staged.share, &stages,
                         [&](std::size_t length) { chunks.push_back(length); }),
              "");
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0], kMiB);
    EXPECT_EQ(chunks[0] + chunks[1], staged.share.storedSize);
}

TEST(ShareCheck, SaysWhenTheStoredBytesEndEarly) {
    const JobStages stages = plainStages();
    const StagedShare staged(stages, noise(kMiB + 10), stages.frameSize);
    MemoryData data(staged.archive);
    data.bytes().resize(data.bytes().size() - 1);
    std::size_t counted = 0;
    EXPECT_EQ(
        checkShare(data, staged.file, staged.share, &stages,
                   [&](std::size_t length) { counted += length; }),
        "its stored bytes end before the manifest's " + std::to_string(staged.share.storedSize));
    EXPECT_EQ(counted, kMiB);  // the first chunk only
}

// The frames' own checks catch a flipped byte first, naming the frame;
// without stages the stored digest does.
TEST(ShareCheck, AFlippedByteIsFoundByTheFramesOrElseByTheStoredDigest) {
    const JobStages stages = plainStages();
    const StagedShare staged(stages, noise(3000), 1024);
    MemoryData data(staged.archive);
    data.bytes()[staged.share.seekOffset + 1500] ^= 0x01;
    const auto ignore = [](std::size_t) {};
    JobStages framed = stages;
    framed.frameSize = 1024;
    EXPECT_EQ(
        checkShare(data, staged.file, staged.share, &framed, ignore)
            .rfind("file db.sqlite, stream 2, frame 1: the frame does not match its check", 0),
        0u);
    EXPECT_EQ(checkShare(data, staged.file, staged.share, nullptr, ignore),
              "its stored bytes do not match the manifest's checksum");
}

TEST(ShareCheck, SoundFramesMustStillMatchBothOfTheManifestsDigests) {
    const JobStages stages = plainStages();
    StagedShare staged(stages, noise(5000), stages.frameSize);
    MemoryData data(staged.archive);
    const auto ignore = [](std::size_t) {};
    ManifestShare logicalWrong = staged.share;
    logicalWrong.sha256 = sha256(noise(4));
    EXPECT_EQ(checkShare(data, staged.file, logicalWrong, &stages, ignore),
              "its frames decode to bytes that do not match the manifest's checksum");
    ManifestShare sizeWrong = staged.share;
    sizeWrong.size += 1;
    EXPECT_EQ(checkShare(data, staged.file, sizeWrong, &stages, ignore),
              "its frames decode to bytes that do not match the manifest's checksum");
    ManifestShare storedWrong = staged.share;
    storedWrong.storedSha256 = sha256(noise(4));
    EXPECT_EQ(checkShare(data, staged.file, storedWrong, &stages, ignore),
              "its stored bytes do not match the manifest's checksum");
}

// A stream input's frames are its stripes, whatever the job's frame size;
// a file's are of the job's frame size.
TEST(ShareCheck, AStreamInputsFramesAreItsStripes) {
    JobStages stages = plainStages();
    stages.key = newDataKey();
    stages.frameSize = 1024;
    StagedShare staged(stages, noise(10000), 4096);
    staged.file.kind = ManifestFile::Kind::Stream;
    staged.file.stripeUnit = 4096;
    MemoryData data(staged.archive);
    EXPECT_EQ(checkShare(data, staged.file, staged.share, &stages, [](std::size_t) {}), "");
    staged.file.kind = ManifestFile::Kind::File;
    EXPECT_EQ(checkShare(data, staged.file, staged.share, &stages, [](std::size_t) {})
                  .rfind("file db.sqlite, stream 2, frame 0: ", 0),
              0u);
}

// A signal or a failing store stops the reading: what count throws is no
// problem of the share's, it passes through.
TEST(ShareCheck, WhatCountThrowsPassesThrough) {
    const JobStages stages = plainStages();
    const StagedShare staged(stages, noise(2 * kMiB), stages.frameSize);
    MemoryData data(staged.archive);
    int chunks = 0;
    EXPECT_THROW(checkShare(data, staged.file, staged.share, &stages,
                            [&](std::size_t) {
                                if (++chunks == 2) {
                                    throw localplatform::StoreError(
                                        localplatform::StoreError::Kind::Interrupted, "stop");
                                }
                            }),
                 localplatform::StoreError);
    EXPECT_EQ(chunks, 2);
}

namespace {

// The file of `staged` recorded by blocks of 1000 bytes, and the whole of
// its share as a piece of the job that holds it, framed by frameSize.
struct HeldPiece {
    ManifestFile file;
    ManifestPiece whole;

    HeldPiece(const StagedShare& staged, const Bytes& logical, bool framed) : file(staged.file) {
        file.blockSize = 1000;
        BlockDigests digests(file.blockSize);
        digests.update(logical.data(), logical.size());
        file.blocks = digests.finish();
        whole.heldBy = 7;
        whole.archive = staged.share.archive;
        whole.seekOffset = staged.share.seekOffset;
        whole.size = logical.size();
        whole.storedSize = staged.share.storedSize;
        if (framed) whole.frames = staged.frames;
    }
};

}  // namespace

// A piece is read as a restore reads it: from the frame that holds its
// first byte, the bytes before it dropped, each block against the file's
// digests; with frames that cannot be opened, as stored only.
TEST(PieceCheck, AFramedPieceIsDecodedFromItsFirstFrameAndCheckedBlockByBlock) {
    JobStages stages = plainStages();
    stages.frameSize = 1024;
    const Bytes logical = noise(10000);
    const StagedShare staged(stages, logical, stages.frameSize);
    HeldPiece held(staged, logical, true);
    const ManifestPiece piece = slicePiece(held.whole, 1024, 3000, 4000);
    ASSERT_EQ(piece.frameIndex, 2u);
    MemoryData data(staged.archive);
    uint64_t counted = 0;
    EXPECT_EQ(checkPiece(data, held.file, piece, true, &stages,
                         [&](std::size_t length) { counted += length; }),
              "");
    EXPECT_EQ(counted, piece.storedSize);

    const auto ignore = [](std::size_t) {};
    ManifestFile other = held.file;
    other.blocks.replace(4 * 64, 64, sha256(noise(4)));
    EXPECT_EQ(checkPiece(data, other, piece, true, &stages, ignore),
              "the piece at bytes 3000 to 7000: block 4 does not match the manifest's "
              "checksum; it is damaged");
    // Without the key its frames are not opened: the digests go unread.
    EXPECT_EQ(checkPiece(data, other, piece, true, nullptr, ignore), "");
    ManifestPiece own = piece;
    own.storedSha256 = sha256(noise(4));
    EXPECT_EQ(checkPiece(data, held.file, own, true, nullptr, ignore),
              "the piece at bytes 3000 to 7000: its stored bytes do not match the manifest's "
              "checksum");

    data.bytes().resize(piece.seekOffset + piece.storedSize - 1);
    EXPECT_EQ(checkPiece(data, held.file, piece, true, &stages, ignore),
              "the piece at bytes 3000 to 7000: its stored bytes end before the manifest's " +
                  std::to_string(piece.storedSize));
}

TEST(PieceCheck, APieceStoredAsItIsIsCheckedBlockByBlockToItsEnd) {
    const Bytes logical = noise(10000);
    StagedShare staged(plainStages(), logical, 1024);
    staged.share.storedSize = logical.size();
    staged.archive.resize(staged.share.seekOffset);
    staged.archive.insert(staged.archive.end(), logical.begin(), logical.end());
    HeldPiece held(staged, logical, false);
    const ManifestPiece piece = slicePiece(held.whole, 0, 9000, 1000);
    MemoryData data(staged.archive);
    const auto ignore = [](std::size_t) {};
    EXPECT_EQ(checkPiece(data, held.file, piece, false, nullptr, ignore), "");
    data.bytes()[piece.seekOffset + 999] ^= 0x80;
    EXPECT_EQ(checkPiece(data, held.file, piece, false, nullptr, ignore),
              "the piece at bytes 9000 to 10000: block 9 does not match the manifest's "
              "checksum; it is damaged");
}
