// A PostgreSQL cluster's side of a base backup: page checksums on pages of a
// real cluster, the entries a backup takes, WAL locations, and the
// connection, against a server when PIPELINESETUP_TEST_PG names one.

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "AgentTestSupport.h"
#include "postgres/BoundedQuery.h"
#include "postgres/ClusterConnection.h"
#include "postgres/ClusterFiles.h"
#include "postgres/PageChecksum.h"
#include "postgres/PageReadCheck.h"
#include "wal/WalFileName.h"

namespace {

using namespace std::chrono_literals;

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

// A relation file of three pages as a backup reads it: block 0 (a real
// page), a new page, block 2 (a real page); each read cut anywhere.
std::string threePageFile() {
    const auto pages = realPages();
    if (pages.size() != 2) return {};
    std::string file(pages[0].bytes.begin(), pages[0].bytes.end());
    file.append(kPageBytes, '\0');
    file.append(pages[1].bytes.begin(), pages[1].bytes.end());
    return file;
}

struct BadPages {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> seen;  // (page, block)
    PageReadCheck::BadPage callback() {
        return [this](std::uint32_t page, std::uint32_t block) { seen.emplace_back(page, block); };
    }
};

void readInPieces(PageReadCheck& check, const std::string& file,
                  const std::vector<std::size_t>& pieces) {
    std::size_t offset = 0;
    for (const std::size_t piece : pieces) {
        const std::size_t length = std::min(piece, file.size() - offset);
        check.read(file.data() + offset, length, offset);
        offset += length;
    }
    if (offset < file.size()) check.read(file.data() + offset, file.size() - offset, offset);
}

TEST(PageReadCheck, PagesCutByReadsAreCheckedWholeAndABadOneIsNamedByPageAndBlock) {
    std::string file = threePageFile();
    ASSERT_EQ(file.size(), 3 * kPageBytes);
    for (const auto& pieces : std::vector<std::vector<std::size_t>>{
             {3 * kPageBytes}, {1000, 7000, 9000}, {1, kPageBytes, 2}, {8191, 8193}}) {
        BadPages bad;
        PageReadCheck check(0, ~0ULL, bad.callback());
        readInPieces(check, file, pieces);
        EXPECT_EQ(check.checked(), 3u);
        EXPECT_TRUE(bad.seen.empty());
    }
    file[2 * kPageBytes + 5000] ^= 0x04;
    BadPages bad;
    PageReadCheck check(0, ~0ULL, bad.callback());
    readInPieces(check, file, {2 * kPageBytes + 100, 10});
    EXPECT_EQ(bad.seen, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{2, 2}}));
}

TEST(PageReadCheck, TheFilesFirstBlockCountsAndAReadOutOfOrderSkipsToTheNextPage) {
    const std::string file = threePageFile();
    ASSERT_EQ(file.size(), 3 * kPageBytes);
    // A later segment of a relation: its first page is block firstBlock.
    BadPages shifted;
    PageReadCheck later(131072, ~0ULL, shifted.callback());
    later.read(file.data(), file.size(), 0);
    EXPECT_EQ(shifted.seen, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{
                                {0, 131072}, {2, 131074}}));

    BadPages none;
    PageReadCheck skipping(0, ~0ULL, none.callback());
    skipping.read(file.data(), 100, 0);
    skipping.read(file.data() + 5000, file.size() - 5000, 5000);
    EXPECT_EQ(skipping.checked(), 2u);
    EXPECT_TRUE(none.seen.empty());
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
    EXPECT_EQ(walFileBefore(1, 0x2000028, WalSegmentSize(k16MiB)), "000000010000000000000002");
    // At a segment's very start: the segment before holds the WAL before it.
    EXPECT_EQ(walFileBefore(1, 0x3000000, WalSegmentSize(k16MiB)), "000000010000000000000002");
    EXPECT_EQ(walFileBefore(1, 0x100000000ULL, WalSegmentSize(k16MiB)), "0000000100000000000000FF");
    EXPECT_EQ(walFileBefore(0x1A, 0x16B374D848ULL, WalSegmentSize(k16MiB)), "0000001A00000016000000B3");
    EXPECT_EQ(walFileBefore(1, 0x510000000ULL, WalSegmentSize(64ULL << 20)), "000000010000000500000003");
    EXPECT_EQ(parseWalFileName("0000001A00000016000000B3")->timeline, 0x1Au);
    EXPECT_FALSE(parseWalFileName("0000001A00000016000000B").has_value());
    EXPECT_FALSE(parseWalFileName("0000001A00000016000000BX").has_value());
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

// --- the connection --------------------------------------------------------

TEST(ClusterConnection, AConnectionStringWithAPasswordIsRefusedBeforeConnecting) {
    const std::string refusal =
        "the PostgreSQL connection string holds a password; give it by PGPASSWORD, a password "
        "file (PGPASSFILE) or a service file (service=NAME) instead";
    // No server is asked: the host does not exist.
    for (const char* conninfo : {"host=/nonexistent user=u password=secret dbname=postgres",
                                 "postgresql://u:secret@/postgres?host=/nonexistent"}) {
        const auto [message, code] = thrown([&] { ClusterConnection::open(conninfo, 1s); });
        EXPECT_EQ(message, refusal) << conninfo;
        EXPECT_EQ(code, 2);
    }
    const auto [message, code] =
        thrown([] { ClusterConnection::open("host='/nonexistent", 1s); });
    EXPECT_EQ(message,
              "the PostgreSQL connection string is not one libpq takes (a postgresql:// URI, "
              "keyword=value pairs or service=NAME)");
    EXPECT_EQ(code, 2);
}

TEST(ClusterConnection, AServerNotReachedFailsTheJobWithLibpqsFirstLine) {
    const auto [message, code] = thrown([] {
        ClusterConnection::open("host=/nonexistent-pipeline-agent port=5999 dbname=x", 1s);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(message.rfind("cannot connect to PostgreSQL: ", 0), 0u) << message;
    EXPECT_NE(message.find("/nonexistent-pipeline-agent/.s.PGSQL.5999"), std::string::npos)
        << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
}

// The server PIPELINESETUP_TEST_PG names, or nothing (the test is skipped).
const char* testServer() { return std::getenv("PIPELINESETUP_TEST_PG"); }

#define REQUIRE_TEST_SERVER()                                                    \
    if (!testServer() || !*testServer()) {                                       \
        GTEST_SKIP() << "PIPELINESETUP_TEST_PG names no PostgreSQL server";      \
    }

TEST(ClusterConnection, FactsOfARealCluster) {
    REQUIRE_TEST_SERVER();
    ClusterConnection cluster = ClusterConnection::open(testServer(), 10s);
    const ClusterFacts facts = cluster.facts();
    EXPECT_TRUE(std::regex_match(facts.systemIdentifier, std::regex("[0-9]{15,20}")))
        << facts.systemIdentifier;
    EXPECT_GE(facts.serverVersionNum, 90600);
    EXPECT_EQ(facts.dataDirectory.rfind('/', 0), 0u) << facts.dataDirectory;
    EXPECT_EQ(facts.blockSize, kPageBytes);
    EXPECT_EQ(std::uint64_t{facts.segmentBlocks} * facts.blockSize, 1ULL << 30);
    EXPECT_GE(facts.walSegmentBytes, 1ULL << 20);
    EXPECT_EQ(facts.walSegmentBytes & (facts.walSegmentBytes - 1), 0u);
    EXPECT_GE(facts.timeline, 1u);
    EXPECT_TRUE(std::regex_match(facts.tablespaceVersionDirectory(),
                                 std::regex("PG_[0-9.]+_[0-9]{9}")))
        << facts.tablespaceVersionDirectory();
}

TEST(ClusterConnection, ABackupStartedAndStoppedGivesItsLabelAndLocations) {
    REQUIRE_TEST_SERVER();
    ClusterConnection cluster = ClusterConnection::open(testServer(), 10s);
    const auto [notStarted, notStartedCode] = thrown([&] { cluster.stopBackup(false, 10s); });
    EXPECT_EQ(notStarted, "no base backup runs on this PostgreSQL connection");

    const BackupStart start = cluster.startBackup("pipeline-agent test", true, 60s);
    const auto [twice, twiceCode] =
        thrown([&] { cluster.startBackup("pipeline-agent test", true, 60s); });
    EXPECT_EQ(twice, "a base backup runs on this PostgreSQL connection already");
    const BackupStop stop = cluster.stopBackup(false, 60s);

    const auto startLsn = parseLsn(start.lsn);
    const auto stopLsn = parseLsn(stop.lsn);
    ASSERT_TRUE(startLsn && stopLsn) << start.lsn << " " << stop.lsn;
    EXPECT_GE(*stopLsn, *startLsn);
    EXPECT_EQ(parseWalFileName(start.walFile)->timeline, start.timeline);
    EXPECT_GE(start.timeline, 1u);
    EXPECT_TRUE(parseWalFileName(stop.walFile).has_value()) << stop.walFile;
    EXPECT_LE(start.walFile.substr(8), stop.walFile.substr(8));
    EXPECT_EQ(stop.backupLabel.rfind("START WAL LOCATION: " + start.lsn + " (file " +
                                         start.walFile + ")\n",
                                     0),
              0u)
        << stop.backupLabel;
    EXPECT_NE(stop.backupLabel.find("LABEL: pipeline-agent test\n"), std::string::npos);
    const std::regex utc("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    EXPECT_TRUE(std::regex_match(start.serverTime, utc)) << start.serverTime;
    EXPECT_TRUE(std::regex_match(stop.serverTime, utc)) << stop.serverTime;
    EXPECT_LE(start.serverTime, stop.serverTime);

    // The connection takes a second backup after the first.
    const BackupStart again = cluster.startBackup("pipeline-agent test 2", true, 60s);
    EXPECT_GE(parseLsn(again.lsn).value_or(0), *stopLsn);
    cluster.stopBackup(false, 60s);
}

TEST(ClusterConnection, ABackupLeftRunningEndsWithTheConnectionsSession) {
    REQUIRE_TEST_SERVER();
    const std::string conninfo = testServer();
    if (conninfo.find("://") != std::string::npos) {
        GTEST_SKIP() << "the session is found by an application_name added to key=value pairs";
    }
    const std::string name = "pipeline-agent-abandoned-" + std::to_string(::getpid());
    ClusterConnection observer = ClusterConnection::open(conninfo, 10s);
    auto sessions = [&] {
        std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(conninfo.c_str()), PQfinish);
        const QueryRows rows = runBounded(
            conn.get(), "SELECT count(*) FROM pg_stat_activity WHERE application_name = $1",
            {name}, 10s, {"counting sessions", ""});
        return rows.at(0).at(0).value_or("");
    };
    {
        ClusterConnection cluster =
            ClusterConnection::open(conninfo + " application_name=" + name, 10s);
        cluster.startBackup("pipeline-agent abandoned", true, 60s);
        EXPECT_EQ(sessions(), "1");
    }
    // The server ends the session, and the backup with it, once the
    // connection closes: soon, not at once.
    std::string left = sessions();
    for (int tries = 0; left != "0" && tries < 100; ++tries) {
        std::this_thread::sleep_for(50ms);
        left = sessions();
    }
    EXPECT_EQ(left, "0");
    // And a backup after it carries nothing of the abandoned one.
    observer.startBackup("pipeline-agent after", true, 60s);
    EXPECT_EQ(observer.stopBackup(false, 60s).backupLabel.find("abandoned"), std::string::npos);
}

// A raw libpq connection to the test server, for runBounded.
std::unique_ptr<PGconn, void (*)(PGconn*)> rawConnection() {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(testServer()), PQfinish);
    EXPECT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    return conn;
}

TEST(BoundedQuery, AStatementPastItsWaitIsCancelledAndTheConnectionStaysUsable) {
    REQUIRE_TEST_SERVER();
    auto conn = rawConnection();
    const auto began = std::chrono::steady_clock::now();
    const auto [message, code] = thrown([&] {
        runBounded(conn.get(), "SELECT pg_sleep(20)", {}, 300ms, {"sleeping", ""});
    });
    EXPECT_EQ(message, "PostgreSQL did not finish sleeping within 300 ms; it was cancelled");
    EXPECT_EQ(code, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s);
    const QueryRows rows = runBounded(conn.get(), "SELECT $1::int + 1", {"41"}, 10s, {"adding", ""});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], "42");
}

TEST(BoundedQuery, RefusalsAndFailuresGiveTheServersFirstLine) {
    REQUIRE_TEST_SERVER();
    auto conn = rawConnection();
    const auto [refused, refusedCode] = thrown([&] {
        runBounded(conn.get(),
                   "DO $$ BEGIN RAISE EXCEPTION 'not for you' USING ERRCODE = '42501', "
                   "DETAIL = 'second line'; END $$",
                   {}, 10s, {"pg_backup_start", "the role needs more"});
    });
    EXPECT_EQ(refused, "PostgreSQL refused pg_backup_start: ERROR:  not for you (the role needs more)");
    EXPECT_EQ(refusedCode, 1);
    const auto [failed, failedCode] = thrown(
        [&] { runBounded(conn.get(), "SELECT 1/0", {}, 10s, {"dividing", "unused"}); });
    EXPECT_EQ(failed, "PostgreSQL failed dividing: ERROR:  division by zero");
    const QueryRows rows =
        runBounded(conn.get(), "SELECT NULL::text, 'x'", {}, 10s, {"reading", ""});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_FALSE(rows[0][0].has_value());
    EXPECT_EQ(rows[0][1], "x");
}

}  // namespace
