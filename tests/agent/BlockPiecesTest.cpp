// A file recorded block by block: its blocks' digests however its bytes are
// handed over, the check of restored bytes against them, and which blocks a
// later backup keeps, as pieces of the jobs that hold them, over every way
// an earlier job may hold the file (split over streams at any offset, as
// frames, held by another job, in pieces of its own).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Sha256.h"
#include "manifest/BlockPieces.h"

namespace {

std::string sha(const std::string& bytes) {
    Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hex();
}

// Bytes that differ from block to block.
std::string bytesOf(std::size_t size, char salt = 0) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 13 + salt);
    return bytes;
}

std::string digestsOf(const std::string& bytes, uint64_t blockSize) {
    std::string digests;
    for (std::size_t at = 0; at < bytes.size(); at += blockSize) {
        digests += sha(bytes.substr(at, blockSize));
    }
    return digests;
}

TEST(BlockDigests, EachBlockIsDigestedAloneHoweverTheBytesAreHandedOver) {
    const std::string bytes = bytesOf(10 * 1000 + 7);
    for (std::size_t piece : {1u, 999u, 1000u, 1001u, 4096u, 20000u}) {
        BlockDigests digests(1000);
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            digests.update(bytes.data() + at, std::min(piece, bytes.size() - at));
        }
        EXPECT_EQ(digests.finish(), digestsOf(bytes, 1000))
            << "handed over " << piece << " at a time";
    }
    // A whole number of blocks has no empty block after them; no bytes, no
    // blocks.
    BlockDigests whole(1000);
    whole.update(bytes.data(), 3000);
    EXPECT_EQ(whole.finish().size(), 3u * 64);
    EXPECT_EQ(BlockDigests(1000).finish(), "");
    EXPECT_EQ(blocksIn(3000, 1000), 3u);
    EXPECT_EQ(blocksIn(3001, 1000), 4u);
    EXPECT_EQ(blockSizeOf(ManifestStages{}), 32768u);
    EXPECT_EQ(blockSizeOf(ManifestStages{true, Codec::Zstd, 3, 1 << 20, ""}), 1u << 20);
}

TEST(BlockCheck, NamesTheFirstBlockThatDoesNotMatchFromWhereverItStarts) {
    ManifestFile file;
    const std::string bytes = bytesOf(4500);
    file.size = bytes.size();
    file.blockSize = 1000;
    file.blocks = digestsOf(bytes, 1000);

    BlockCheck whole(file, 0);
    EXPECT_EQ(whole.update(bytes.data(), 2500), SIZE_MAX);
    EXPECT_FALSE(whole.atBlockEnd());
    EXPECT_EQ(whole.update(bytes.data() + 2500, 2000), SIZE_MAX);
    EXPECT_TRUE(whole.atBlockEnd()) << "the last, shorter block ends where the file does";

    std::string damaged = bytes;
    damaged[3999] ^= 1;
    BlockCheck fromBlock2(file, 2000);
    EXPECT_EQ(fromBlock2.update(damaged.data() + 2000, 1000), SIZE_MAX);
    EXPECT_EQ(fromBlock2.update(damaged.data() + 3000, 1000), 3u);

    // Bytes past the file's end belong to no block it records.
    BlockCheck past(file, 4000);
    EXPECT_EQ(past.update(bytes.data() + 4000, 500), SIZE_MAX);
    EXPECT_EQ(past.update("x", 1), 5u);
}

// A job that stores its bytes as they are, or in frames of frameSize.
Manifest jobOf(unsigned long long id, uint64_t frameSize = 0) {
    Manifest m;
    m.version = 5;
    m.jobId = id;
    m.archives = {{1, 1, static_cast<uint32_t>(id), 1}, {2, 1, static_cast<uint32_t>(id), 2}};
    if (frameSize != 0) m.stages = {true, Codec::Zstd, 3, frameSize, ""};
    return m;
}

// A share of `job`'s stream k, framed when frames are given.
ManifestShare shareOf(const Manifest& job, unsigned long k, uint64_t source, uint64_t seek,
                      uint64_t size, std::vector<uint64_t> frames = {}) {
    ManifestShare s;
    s.archive = job.archives[k - 1];
    s.sourceOffset = source;
    s.seekOffset = seek;
    s.size = size;
    s.storedSize = size;
    if (!frames.empty()) {
        s.storedSize = 0;
        for (uint64_t f : frames) s.storedSize += f;
        s.frames = std::move(frames);
    }
    return s;
}

ManifestFile recorded(const std::string& bytes, uint64_t blockSize,
                      std::vector<ManifestShare> shares) {
    ManifestFile f;
    f.name = "f";
    f.size = bytes.size();
    f.blockSize = blockSize;
    f.blocks = digestsOf(bytes, blockSize);
    f.shares = std::move(shares);
    return f;
}

std::string changedAt(std::string bytes, std::vector<std::size_t> offsets) {
    for (std::size_t at : offsets) bytes[at] ^= 0x55;
    return bytes;
}

TEST(BlockPlan, ScatteredChangesKeepTheRestAsRunsOfTheHoldersBytes) {
    // Ten blocks of 1000 bytes split over two streams at 4500: block 4
    // straddles the shares and is stored again even unchanged.
    const Manifest full = jobOf(7);
    const std::string before = bytesOf(10000);
    const ManifestFile old =
        recorded(before, 1000, {shareOf(full, 1, 0, 100, 4500), shareOf(full, 2, 4500, 200, 5500)});
    const std::string now = changedAt(before, {1500, 8000});
    const BlockPlan plan = planBlocks(now.size(), 1000, digestsOf(now, 1000), old, full);

    EXPECT_EQ(plan.changed, (std::vector<FileExtent>{{1000, 1000}, {4000, 1000}, {8000, 1000}}));
    EXPECT_EQ(plan.changedBlocks, 3u);
    ASSERT_EQ(plan.kept.size(), 4u);
    const auto expectKept = [&](std::size_t i, unsigned long stream, uint64_t source, uint64_t seek,
                                uint64_t size) {
        SCOPED_TRACE("kept piece " + std::to_string(i));
        EXPECT_EQ(plan.kept[i].heldBy, 7u);
        EXPECT_EQ(plan.kept[i].archive, full.archives[stream - 1]);
        EXPECT_EQ(plan.kept[i].sourceOffset, source);
        EXPECT_EQ(plan.kept[i].seekOffset, seek);
        EXPECT_EQ(plan.kept[i].size, size);
        EXPECT_EQ(plan.kept[i].storedSize, size);
        EXPECT_TRUE(plan.kept[i].frames.empty());
    };
    expectKept(0, 1, 0, 100, 1000);
    expectKept(1, 1, 2000, 2100, 2000);
    // Stream 2's share starts at 4500: block 5 lies 500 bytes into it.
    expectKept(2, 2, 5000, 700, 3000);
    expectKept(3, 2, 9000, 4700, 1000);
}

TEST(BlockPlan, AFileThatGrewOrShrankStoresWhatLiesPastTheOldEnd) {
    const Manifest full = jobOf(7);
    const std::string before = bytesOf(4500);  // blocks 0-3 and a short block 4
    const ManifestFile old = recorded(before, 1000, {shareOf(full, 1, 0, 0, 4500)});

    // Grown: block 4 is now whole, so it changed; blocks 5 and 6 are new.
    const std::string grown = before + bytesOf(2000, 3);
    BlockPlan plan = planBlocks(grown.size(), 1000, digestsOf(grown, 1000), old, full);
    EXPECT_EQ(plan.changed, (std::vector<FileExtent>{{4000, 2500}}));
    ASSERT_EQ(plan.kept.size(), 1u);
    EXPECT_EQ(std::make_pair(plan.kept[0].sourceOffset, plan.kept[0].size),
              std::make_pair(uint64_t{0}, uint64_t{4000}));

    // Shrunk to 2300 bytes: blocks 0 and 1 kept, the new short block 2 stored.
    const std::string shrunk = before.substr(0, 2300);
    plan = planBlocks(shrunk.size(), 1000, digestsOf(shrunk, 1000), old, full);
    EXPECT_EQ(plan.changed, (std::vector<FileExtent>{{2000, 300}}));
    ASSERT_EQ(plan.kept.size(), 1u);
    EXPECT_EQ(plan.kept[0].size, 2000u);

    // The same short last block, unchanged, is kept to the file's end.
    const std::string tail = changedAt(before, {10});
    plan = planBlocks(tail.size(), 1000, digestsOf(tail, 1000), old, full);
    EXPECT_EQ(plan.changed, (std::vector<FileExtent>{{0, 1000}}));
    ASSERT_EQ(plan.kept.size(), 1u);
    EXPECT_EQ(std::make_pair(plan.kept[0].sourceOffset, plan.kept[0].size),
              std::make_pair(uint64_t{1000}, uint64_t{3500}));
}

TEST(BlockPlan, FramedSharesThatStartInsideABlockAreReadFromTheFrameThatHoldsIt) {
    // Frames (and blocks) of 1000 bytes; stream 2's share starts at 2500, so
    // its frame k holds the file's bytes 2500 + 1000k on.
    const Manifest full = jobOf(7, 1000);
    const std::string before = bytesOf(6000);
    const ManifestFile old = recorded(before, 1000,
                                      {shareOf(full, 1, 0, 0, 2500, {110, 120, 60}),
                                       shareOf(full, 2, 2500, 0, 3500, {130, 140, 150, 70})});
    const std::string now = changedAt(before, {4200});
    const BlockPlan plan = planBlocks(now.size(), 1000, digestsOf(now, 1000), old, full);
    // Block 2 straddles the shares, block 4 changed.
    EXPECT_EQ(plan.changed, (std::vector<FileExtent>{{2000, 1000}, {4000, 1000}}));
    ASSERT_EQ(plan.kept.size(), 3u);
    // Blocks 0-1: frames 0 and 1 of stream 1.
    EXPECT_EQ(plan.kept[0].frames, (std::vector<uint64_t>{110, 120}));
    EXPECT_EQ(std::make_tuple(plan.kept[0].frameIndex, plan.kept[0].frameOffset,
                              plan.kept[0].seekOffset, plan.kept[0].storedSize),
              std::make_tuple(uint64_t{0}, uint64_t{0}, uint64_t{0}, uint64_t{230}));
    // Block 3 (bytes 3000-3999): 500 bytes into frame 0 of stream 2, on
    // into frame 1.
    EXPECT_EQ(plan.kept[1].frames, (std::vector<uint64_t>{130, 140}));
    EXPECT_EQ(std::make_tuple(plan.kept[1].frameIndex, plan.kept[1].frameOffset,
                              plan.kept[1].seekOffset, plan.kept[1].size),
              std::make_tuple(uint64_t{0}, uint64_t{500}, uint64_t{0}, uint64_t{1000}));
    // Block 5 (5000-5999, the file's end): frames 2 and 3, from 270.
    EXPECT_EQ(plan.kept[2].frames, (std::vector<uint64_t>{150, 70}));
    EXPECT_EQ(
        std::make_tuple(plan.kept[2].frameIndex, plan.kept[2].frameOffset, plan.kept[2].seekOffset),
        std::make_tuple(uint64_t{2}, uint64_t{500}, uint64_t{270}));

    // A framed share that lists no frames (an earlier release's) keeps
    // nothing: where its blocks lie is not known.
    ManifestFile unframed = old;
    unframed.shares[1].frames.clear();
    const BlockPlan without = planBlocks(now.size(), 1000, digestsOf(now, 1000), unframed, full);
    EXPECT_EQ(without.changed, (std::vector<FileExtent>{{2000, 4000}}));
}

TEST(BlockPlan, ASliceOfASliceIsTheSameSliceOfTheHoldersBytes) {
    // What an incr after an incr keeps: a piece cut again from a piece.
    ManifestPiece share;
    share.heldBy = 7;
    share.sourceOffset = 2500;
    share.seekOffset = 40;
    share.size = 6500;
    share.frames = {100, 101, 102, 103, 104, 105, 106};
    share.storedSize = 721;
    const ManifestPiece once = slicePiece(share, 1000, 3000, 5000);
    EXPECT_EQ(slicePiece(once, 1000, 5000, 2000), slicePiece(share, 1000, 5000, 2000));
    EXPECT_EQ(slicePiece(once, 1000, 3000, 1000), slicePiece(share, 1000, 3000, 1000));
    share.frames.clear();
    share.storedSize = share.size;
    EXPECT_EQ(slicePiece(slicePiece(share, 0, 3000, 5000), 0, 6000, 1000).seekOffset, 40u + 3500);
}

TEST(BlockPlan, AChainKeepsBlocksFromTheJobThatHoldsThemNeverThroughTheOneThatRefers) {
    // Job 9 (an incr over job 7) holds block 1 of "f" itself and refers to
    // job 7 for the rest; job 10 now finds block 3 changed.
    Manifest full = jobOf(7);
    Manifest incr = jobOf(9);
    incr.references = {{7, full.archives, full.stages}};
    const std::string before = bytesOf(5000);
    ManifestFile old = recorded(before, 1000, {});
    ManifestPiece a, b, c;
    a.heldBy = 7, a.archive = full.archives[0], a.sourceOffset = 0, a.seekOffset = 0, a.size = 1000;
    b.heldBy = 0, b.archive = incr.archives[1], b.sourceOffset = 1000, b.seekOffset = 30,
    b.size = 1000;
    c.heldBy = 7, c.archive = full.archives[0], c.sourceOffset = 2000, c.seekOffset = 2000,
    c.size = 3000;
    for (ManifestPiece* p : {&a, &b, &c}) p->storedSize = p->size;
    old.pieces = {a, b, c};
    const std::string now = changedAt(before, {3100});
    const BlockPlan plan = planBlocks(now.size(), 1000, digestsOf(now, 1000), old, incr);
    EXPECT_EQ(plan.changed, (std::vector<FileExtent>{{3000, 1000}}));
    ASSERT_EQ(plan.kept.size(), 4u);
    EXPECT_EQ(plan.kept[0].heldBy, 7u);
    EXPECT_EQ(plan.kept[1].heldBy, 9u) << "its own piece is held by the job compared with";
    EXPECT_EQ(plan.kept[1].seekOffset, 30u);
    EXPECT_EQ(std::make_tuple(plan.kept[2].heldBy, plan.kept[2].sourceOffset, plan.kept[2].size),
              std::make_tuple(7ull, uint64_t{2000}, uint64_t{1000}));
    EXPECT_EQ(std::make_tuple(plan.kept[3].sourceOffset, plan.kept[3].seekOffset),
              std::make_tuple(uint64_t{4000}, uint64_t{4000}));

    // A file held whole by job 7 (unchanged in job 9) is kept from job 7.
    ManifestFile held = recorded(before, 1000, {shareOf(full, 2, 0, 500, 5000)});
    held.heldBy = 7;
    const BlockPlan fromFull = planBlocks(now.size(), 1000, digestsOf(now, 1000), held, incr);
    ASSERT_EQ(fromFull.kept.size(), 2u);
    EXPECT_EQ(fromFull.kept[1].heldBy, 7u);
    EXPECT_EQ(fromFull.kept[1].archive, full.archives[1]);
    EXPECT_EQ(fromFull.kept[1].seekOffset, 500u + 4000);
}

}  // namespace
