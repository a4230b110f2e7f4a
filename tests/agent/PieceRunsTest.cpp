// Files in pieces on both sides of a store: how a backup cuts the blocks it
// reads again into parts (and leaves every other file where a full puts
// it), and how a restore groups pieces into requests, one job each, a
// request going on past small gaps only.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "jobs/restore/PieceRuns.h"
#include "streams/BackupStreams.h"

namespace {

// Files of the given sizes in a fresh directory, as a tree's files are.
struct Inputs {
    explicit Inputs(const std::vector<uint64_t>& sizes) : dir(freshDirectory("pieces")) {
        for (const uint64_t size : sizes) {
            const std::string path = dir + "/f" + std::to_string(owned.size());
            std::ofstream(path) << std::string(size, 'x');
            struct stat status;
            EXPECT_EQ(::lstat(path.c_str(), &status), 0);
            owned.push_back(std::make_unique<InputFile>(path, status));
            list.push_back(owned.back().get());
        }
    }
    ~Inputs() { std::filesystem::remove_all(dir); }
    std::string dir;
    std::vector<std::unique_ptr<InputFile>> owned;
    std::vector<const InputFile*> list;
};

std::vector<std::vector<uint64_t>> layout(const BackupStreams& streams, std::size_t files) {
    std::vector<std::vector<uint64_t>> parts;
    for (std::size_t f = 0; f < files; ++f) {
        for (unsigned long k = 1; k <= 3; ++k) {
            parts.push_back(
                {streams.partOffset(f, k), streams.partSize(f, k), streams.archiveOffset(f, k)});
        }
    }
    return parts;
}

TEST(BlockParts, AFullIsPlacedAsBeforeAndAFileReadInPartIsCutAtBlockBoundaries) {
    Inputs inputs({100000, 3000, 2000});
    BackupStreams before(inputs.list, 3, 1, 0);
    BackupStreams full(inputs.list, 3, 1, 0);
    full.useBlocks(1000, {});
    EXPECT_EQ(layout(full, 3), layout(before, 3)) << "blocks moved a full's bytes";
    EXPECT_EQ(before.partOffset(0, 2), 33333u) << "a full's split is not at a block";

    // File 0 read in part: 46 blocks and its short last one, in three runs,
    // 47000 bytes: split over the streams at block boundaries of those
    // bytes (15666 and 31333 rounded down).
    BackupStreams partly(inputs.list, 3, 1, 0);
    partly.useBlocks(1000, {{0, {{0, 2000}, {50000, 40000}, {95000, 5000}}}});
    EXPECT_TRUE(partly.readsInPart(0));
    EXPECT_FALSE(partly.readsInPart(1));
    EXPECT_EQ(partly.placement(0), 0u);
    EXPECT_EQ(layout(partly, 1), (std::vector<std::vector<uint64_t>>{
                                     {0, 15000, 0}, {15000, 16000, 0}, {31000, 16000, 0}}));
    // The next file goes whole to the least loaded stream, after its part.
    EXPECT_EQ(partly.placement(1), 1u);
    EXPECT_EQ(partly.archiveOffset(1, 1), 15000u);
}

ManifestPiece pieceAt(unsigned long long holder, const ManifestArchive& archive, uint64_t source,
                      uint64_t seek, uint64_t size) {
    ManifestPiece p;
    p.heldBy = holder;
    p.archive = archive;
    p.sourceOffset = source;
    p.seekOffset = seek;
    p.size = size;
    p.storedSize = size;
    return p;
}

TEST(PieceRuns, EachRequestReadsOneJobsPiecesInStoredOrderSkippingSmallGapsOnly) {
    Manifest m;
    m.jobId = 9;
    m.archives = {{1, 1, 9, 1}, {2, 1, 9, 2}};
    m.references = {{7, {{1, 1, 7, 1}, {2, 1, 7, 2}}, {}}};
    const std::vector<ManifestArchive>& full = m.references[0].archives;
    const uint64_t big = kMostSkipped + 1;
    // "a": job 7's stream 1 at 0, its own stream 2, job 7's stream 1 again
    // past a gap of exactly kMostSkipped. "b": job 7's stream 2, then
    // stream 1 before a's pieces, then past a gap too large.
    ManifestFile a, b;
    a.name = "a";
    a.pieces = {pieceAt(7, full[0], 0, 100, 1000), pieceAt(0, m.archives[1], 1000, 0, 1000),
                pieceAt(7, full[0], 2000, 1100 + kMostSkipped, 1000)};
    b.name = "b";
    b.pieces = {pieceAt(7, full[1], 0, 500, 1000), pieceAt(7, full[0], 1000, 0, 100),
                pieceAt(7, full[1], 1100, 1500 + big, 1000)};
    const std::vector<PieceRun> runs = pieceRuns({&a, &b}, m);
    ASSERT_EQ(runs.size(), 3u);
    const auto reads = [](const std::vector<PieceRead>& stream) {
        std::vector<std::pair<std::size_t, std::size_t>> pairs;
        for (const PieceRead& r : stream) pairs.emplace_back(r.file, r.piece);
        return pairs;
    };
    using Reads = std::vector<std::pair<std::size_t, std::size_t>>;
    // The job's own first.
    EXPECT_EQ(runs[0].holder, 0u);
    EXPECT_EQ(runs[0].start.heldBy, 0u);
    EXPECT_TRUE(runs[0].streams[0].empty());
    EXPECT_EQ(reads(runs[0].streams[1]), (Reads{{0, 1}}));
    EXPECT_EQ(runs[0].start.shares[1].archive, m.archives[1]);
    // Job 7: stream 1 in stored order (b's piece first), on past a gap of
    // kMostSkipped; stream 2 cut before a larger one.
    EXPECT_EQ(runs[1].holder, 7u);
    EXPECT_EQ(runs[1].start.heldBy, 7u);
    EXPECT_EQ(reads(runs[1].streams[0]), (Reads{{1, 1}, {0, 0}, {0, 2}}));
    EXPECT_EQ(reads(runs[1].streams[1]), (Reads{{1, 0}}));
    EXPECT_EQ(runs[1].start.shares[0].seekOffset, 0u);
    EXPECT_EQ(runs[1].start.shares[1].seekOffset, 500u);
    EXPECT_EQ(runs[1].start.shares[1].archive, full[1]);
    EXPECT_TRUE(runs[2].streams[0].empty());
    EXPECT_EQ(reads(runs[2].streams[1]), (Reads{{1, 2}}));
    EXPECT_EQ(runs[2].start.shares[1].seekOffset, 1500u + big);
    EXPECT_EQ(runs[1].pieceCount(), 4u);
    EXPECT_EQ(piecesRead(runs[1], 2), (std::vector<std::size_t>{2, 2}));

    // A piece that lies before where the stream stands starts a request of
    // its own (two pieces of one frame).
    b.pieces[2].seekOffset = 550;
    const std::vector<PieceRun> overlapping = pieceRuns({&b}, m);
    ASSERT_EQ(overlapping.size(), 2u);
    EXPECT_EQ(reads(overlapping[1].streams[1]), (Reads{{0, 2}}));
}

}  // namespace
