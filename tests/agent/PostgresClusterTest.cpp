// A PostgreSQL cluster's side of a base backup: page checksums on pages of a
// real cluster, the entries a backup takes, WAL locations.

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "postgres/ClusterFiles.h"
#include "postgres/PageChecksum.h"
#include "postgres/WalLocation.h"

namespace {

// --- page checksums --------------------------------------------------------

// The two pages of fixtures/postgres-pages.bin (see fixtures/README.md) and
// their block numbers.
struct RealPage {
    std::vector<char> bytes;
    std::uint32_t block;
};

std::vector<RealPage> realPages() {
    std::ifstream in(std::string(AGENT_TEST_FIXTURES) + "/postgres-pages.bin", std::ios::binary);
    const std::vector<char> all((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
    EXPECT_EQ(all.size(), 2 * kPageBytes);
    if (all.size() != 2 * kPageBytes) return {};
    return {{std::vector<char>(all.begin(), all.begin() + kPageBytes), 0},
            {std::vector<char>(all.begin() + kPageBytes, all.end()), 2}};
}

TEST(PageChecksum, PagesWrittenByPostgresCarryTheChecksumComputedHere) {
    const auto pages = realPages();
    ASSERT_EQ(pages.size(), 2u);
    for (const RealPage& page : pages) {
        EXPECT_EQ(pageChecksum(page.bytes.data(), page.block), storedChecksum(page.bytes.data()));
        EXPECT_EQ(verifyPage(page.bytes.data(), page.block, ~0ULL), PageVerdict::Valid);
    }
    // The block number is part of the sum: a page found elsewhere is not valid.
    EXPECT_EQ(verifyPage(pages[1].bytes.data(), 0, ~0ULL), PageVerdict::Corrupt);
    EXPECT_EQ(verifyPage(pages[0].bytes.data(), 131072, ~0ULL), PageVerdict::Corrupt);
}

TEST(PageChecksum, AChangedByteAnywhereButTheChecksumFieldIsFound) {
    const auto pages = realPages();
    ASSERT_EQ(pages.size(), 2u);
    // pd_flags shares a word with pd_checksum; a tuple byte; the last byte.
    for (const std::size_t offset : {std::size_t{10}, std::size_t{5000}, kPageBytes - 1}) {
        std::vector<char> page = pages[0].bytes;
        page[offset] ^= 0x04;
        EXPECT_EQ(verifyPage(page.data(), 0, ~0ULL), PageVerdict::Corrupt) << offset;
    }
    std::vector<char> page = pages[0].bytes;
    page[8] ^= 0x01;  // the stored checksum itself
    EXPECT_EQ(verifyPage(page.data(), 0, ~0ULL), PageVerdict::Corrupt);
}

TEST(PageChecksum, PagesChangedSinceTheBackupBeganAndNewPagesPass) {
    const auto pages = realPages();
    ASSERT_EQ(pages.size(), 2u);
    std::vector<char> page = pages[0].bytes;
    page[5000] ^= 0x04;
    const std::uint64_t lsn = pageLsn(page.data());
    ASSERT_NE(lsn, 0u);
    EXPECT_EQ(verifyPage(page.data(), 0, lsn), PageVerdict::ChangedDuringBackup);
    EXPECT_EQ(verifyPage(page.data(), 0, lsn + 1), PageVerdict::Corrupt);

    const std::vector<char> zeros(kPageBytes, 0);
    EXPECT_EQ(verifyPage(zeros.data(), 7, 0), PageVerdict::New);
    EXPECT_EQ(verifyPage(zeros.data(), 7, ~0ULL), PageVerdict::New);
}

TEST(PageChecksum, AHeaderSayingNewOnAPageNotAllZeroIsCorruptWhateverItsChecksum) {
    const auto pages = realPages();
    ASSERT_EQ(pages.size(), 2u);
    std::vector<char> page = pages[0].bytes;
    page[14] = 0;  // pd_upper
    page[15] = 0;
    const std::uint16_t sum = pageChecksum(page.data(), 0);
    std::memcpy(page.data() + 8, &sum, sizeof sum);
    EXPECT_EQ(verifyPage(page.data(), 0, ~0ULL), PageVerdict::Corrupt);
}

// --- WAL locations ---------------------------------------------------------

TEST(WalLocation, LocationsReadAndWrittenAsTheServerDoes) {
    EXPECT_EQ(parseLsn("16/B374D848"), 0x16B374D848ULL);
    EXPECT_EQ(parseLsn("0/0"), 0u);
    EXPECT_EQ(parseLsn("ffffffff/FFFFFFFF"), ~0ULL);
    EXPECT_EQ(formatLsn(0x16B374D848ULL), "16/B374D848");
    EXPECT_EQ(formatLsn(0x2000028), "0/2000028");
    for (const char* bad : {"", "16B374D848", "1/", "/1", "123456789/0", "G/0", "1/2/3", "1 /2"}) {
        EXPECT_FALSE(parseLsn(bad).has_value()) << bad;
    }
}

TEST(WalLocation, SegmentFileNamesAsPgWalfileName) {
    constexpr std::uint64_t k16MiB = 16ULL << 20;
    EXPECT_EQ(walFileName(1, 0x2000028, k16MiB), "000000010000000000000002");
    // At a segment's very start: the segment before holds the WAL before it.
    EXPECT_EQ(walFileName(1, 0x3000000, k16MiB), "000000010000000000000002");
    EXPECT_EQ(walFileName(1, 0x100000000ULL, k16MiB), "0000000100000000000000FF");
    EXPECT_EQ(walFileName(0x1A, 0x16B374D848ULL, k16MiB), "0000001A00000016000000B3");
    EXPECT_EQ(walFileName(1, 0x510000000ULL, 64ULL << 20), "000000010000000500000003");
    EXPECT_EQ(timelineOfWalFile("0000001A00000016000000B3"), 0x1Au);
    EXPECT_FALSE(timelineOfWalFile("0000001A00000016000000B").has_value());
    EXPECT_FALSE(timelineOfWalFile("0000001A00000016000000BX").has_value());
}

// --- the files a base backup takes -----------------------------------------

TEST(ClusterFiles, DataDirectoryEntriesKeptAndLeftOut) {
    const ClusterFiles files = ClusterFiles::dataDirectory();
    const std::set<std::string> none;
    struct Case {
        const char* path;
        bool directory;
        bool kept;
    };
    const Case cases[] = {
        {"PG_VERSION", false, true},
        {"postgresql.conf", false, true},
        {"postgresql.auto.conf", false, true},
        {"current_logfiles", false, true},
        {"backup_label.old", false, true},
        {"global", true, true},
        {"global/pg_control", false, true},
        {"global/1262", false, true},
        {"base/1/1259", false, true},
        {"pg_xact/0000", false, true},
        {"pg_logical/replorigin_checkpoint", false, true},
        {"postmaster.pid", false, false},
        {"postmaster.opts", false, false},
        {"backup_label", false, false},
        {"tablespace_map", false, false},
        {"backup_manifest", false, false},
        {"postgresql.auto.conf.tmp", false, false},
        {"current_logfiles.tmp", false, false},
        // Only at the top: a file of that name elsewhere is not the server's.
        {"base/1/backup_label", false, true},
        {"pg_wal", true, true},
        {"pg_wal/archive_status", true, true},
        {"pg_wal/000000010000000000000001", false, false},
        {"pg_wal/archive_status/000000010000000000000001.done", false, false},
        {"pg_wal/archive_status2", true, false},
        {"pg_xlog/archive_status", true, true},
        {"pg_xlog/000000010000000000000001", false, false},
        {"pg_replslot", true, true},
        {"pg_replslot/standby1", true, false},
        {"pg_replslot/standby1/state", false, false},
        {"pg_stat_tmp/global.stat", false, false},
        {"pg_dynshmem/mmap.1", false, false},
        {"pg_notify/0000", false, false},
        {"pg_serial/0000", false, false},
        {"pg_snapshots/00000003-00000002-1", false, false},
        {"pg_subtrans/0000", false, false},
        {"pg_subtrans", true, true},
        {"pg_tblspc", true, true},
        {"pg_tblspc/16390", false, false},
        {"pg_stat", true, true},
        {"pg_stat/pgstat.stat", false, true},
        {"base/pgsql_tmp", true, false},
        {"base/pgsql_tmp/pgsql_tmp123.0", false, false},
        {"pgsql_tmp_anything", false, false},
        {"global/pg_internal.init", false, false},
        {"base/1/pg_internal.init", false, false},
        {"base/1/pg_internal.init.1234", false, false},
        {"base/1/t3_16400", false, false},
        {"base/1/t3_16400_fsm", false, false},
        {"base/1/t3_16400.1", false, false},
        {"base/1/t3x_16400", false, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(files.kept(c.path, c.directory, none), c.kept) << c.path;
    }
}

TEST(ClusterFiles, OnlyTheInitForkOfAnUnloggedRelationIsTaken) {
    const std::set<std::string> unlogged = unloggedRelationsIn(
        {"16390", "16390_fsm", "16390_vm", "16390_init", "16390.1", "16391", "16391_vm",
         "163_init_x", "PG_VERSION", "pg_filenode.map"});
    EXPECT_EQ(unlogged, std::set<std::string>{"16390"});

    const ClusterFiles data = ClusterFiles::dataDirectory();
    EXPECT_TRUE(data.isDatabaseDirectory("base/16384"));
    EXPECT_FALSE(data.isDatabaseDirectory("base"));
    EXPECT_FALSE(data.isDatabaseDirectory("global"));
    EXPECT_FALSE(data.isDatabaseDirectory("base/pgsql_tmp"));
    for (const char* path : {"base/16384/16390", "base/16384/16390_fsm", "base/16384/16390_vm",
                             "base/16384/16390.1"}) {
        EXPECT_FALSE(data.kept(path, false, unlogged)) << path;
    }
    for (const char* path : {"base/16384/16390_init", "base/16384/16391",
                             "base/16384/16391_vm", "base/16384/PG_VERSION"}) {
        EXPECT_TRUE(data.kept(path, false, unlogged)) << path;
    }
    // Outside a database directory there are no unlogged relations.
    EXPECT_TRUE(data.kept("global/16390", false, unlogged));

    const ClusterFiles space = ClusterFiles::tablespace("PG_15_202209061");
    EXPECT_TRUE(space.isDatabaseDirectory("PG_15_202209061/16384"));
    EXPECT_FALSE(space.isDatabaseDirectory("base/16384"));
    EXPECT_FALSE(space.kept("PG_15_202209061/16384/16390.1", false, unlogged));
    EXPECT_TRUE(space.kept("PG_15_202209061/16384/16390_init", false, unlogged));
}

TEST(ClusterFiles, ATablespaceGivesOnlyThisServersVersionDirectory) {
    const ClusterFiles space = ClusterFiles::tablespace("PG_15_202209061");
    const std::set<std::string> none;
    EXPECT_TRUE(space.kept("PG_15_202209061", true, none));
    EXPECT_FALSE(space.kept("PG_15_202209061", false, none));
    EXPECT_FALSE(space.kept("PG_14_202107181", true, none));
    EXPECT_FALSE(space.kept("PG_14_202107181/16384/16390", false, none));
    EXPECT_FALSE(space.kept("lost+found", true, none));
    EXPECT_TRUE(space.kept("PG_15_202209061/16384", true, none));
    EXPECT_TRUE(space.kept("PG_15_202209061/16384/16390", false, none));
    EXPECT_FALSE(space.kept("PG_15_202209061/pgsql_tmp", true, none));
    EXPECT_FALSE(space.kept("PG_15_202209061/16384/t4_16500", false, none));
    EXPECT_FALSE(space.kept("PG_15_202209061/16384/pg_internal.init", false, none));
    // The data directory's names mean nothing here.
    EXPECT_FALSE(space.takenEmpty("pg_wal"));
    EXPECT_FALSE(space.copiedLast("global/pg_control"));
}

TEST(ClusterFiles, DirectoriesTakenEmptyAndTheControlFileLast) {
    const ClusterFiles data = ClusterFiles::dataDirectory();
    for (const char* path : {"pg_wal", "pg_wal/archive_status", "pg_xlog", "pg_replslot",
                             "pg_stat_tmp", "pg_dynshmem", "pg_notify", "pg_serial",
                             "pg_snapshots", "pg_subtrans", "pg_tblspc"}) {
        EXPECT_TRUE(data.takenEmpty(path)) << path;
    }
    for (const char* path : {"base", "global", "pg_xact", "pg_stat", "base/pg_wal",
                             "pg_replslot/standby1"}) {
        EXPECT_FALSE(data.takenEmpty(path)) << path;
    }
    EXPECT_TRUE(data.copiedLast("global/pg_control"));
    EXPECT_FALSE(data.copiedLast("pg_control"));
    EXPECT_FALSE(data.copiedLast("base/1/pg_control"));
}

TEST(ClusterFiles, RelationFilesAndTheirFirstBlocks) {
    const ClusterFiles data = ClusterFiles::dataDirectory();
    const auto segment = data.relationFile("base/16384/16390_fsm.2");
    ASSERT_TRUE(segment.has_value());
    EXPECT_EQ(segment->relation, "16390");
    EXPECT_EQ(segment->fork, "fsm");
    EXPECT_EQ(segment->segment, 2u);
    EXPECT_EQ(segment->firstBlock(), 262144u);
    EXPECT_EQ(segment->firstBlock(65536), 131072u);

    const auto main = data.relationFile("global/1262");
    ASSERT_TRUE(main.has_value());
    EXPECT_EQ(main->fork, "");
    EXPECT_EQ(main->firstBlock(), 0u);
    EXPECT_TRUE(data.relationFile("base/1/2619_vm").has_value());
    EXPECT_TRUE(data.relationFile("base/1/2619_init").has_value());

    for (const char* path :
         {"global/pg_control", "global/pg_filenode.map", "global/pg_internal.init",
          "base/1/PG_VERSION", "base/1/pg_filenode.map", "base/1/t3_16400", "base/1/16390.0",
          "base/1/16390.", "base/1/16390_foo", "base/1/16390_fsmx", "base/16390",
          "pg_xact/0000", "16390", "base/1/16390.99999999999"}) {
        EXPECT_FALSE(data.relationFile(path).has_value()) << path;
    }
    const ClusterFiles space = ClusterFiles::tablespace("PG_15_202209061");
    EXPECT_TRUE(space.relationFile("PG_15_202209061/16384/16390.1").has_value());
    EXPECT_FALSE(space.relationFile("global/1262").has_value());
}

}  // namespace
