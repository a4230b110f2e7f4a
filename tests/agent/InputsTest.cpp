// What a backup reads: a file's identity before and after, inputs whose size
// lies, SQLite's header, and the snapshot of a database in WAL mode.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "AgentTestSupport.h"
#include "SqliteTestSupport.h"
#include "base/AgentError.h"
#include "inputs/FileIdentity.h"
#include "inputs/InputFile.h"
#include "inputs/SqliteSnapshot.h"
#include "inputs/TreeWalk.h"

namespace {

FileIdentity sample() {
    FileIdentity identity;
    identity.device = 2049;
    identity.inode = 77;
    identity.size = 4096;
    identity.modifiedSeconds = 946684800;  // 2000-01-01T00:00:00Z
    identity.modifiedNanoseconds = 250000000;
    identity.changedSeconds = 946684800;
    identity.changedNanoseconds = 250000000;
    return identity;
}

TEST(FileIdentity, TellsTheWeightiestChangeOrNothing) {
    const FileIdentity before = sample();
    EXPECT_EQ(describeChange(before, before), "");

    FileIdentity after = before;
    after.modifiedNanoseconds += 1;  // a nanosecond is a change
    EXPECT_EQ(describeChange(before, after),
              "its modification time went from 2000-01-01T00:00:00.250000000Z to "
              "2000-01-01T00:00:00.250000001Z");
    after.size = 8192;
    EXPECT_EQ(describeChange(before, after), "its size went from 4096 to 8192 bytes");
    after.inode = 78;
    EXPECT_EQ(describeChange(before, after), "it was replaced by another file");

    FileIdentity moved = before;
    moved.device = 2050;
    EXPECT_EQ(describeChange(before, moved), "it was replaced by another file");
    FileIdentity chmodded = before;
    chmodded.changedSeconds += 1;
    EXPECT_EQ(describeChange(before, chmodded),
              "its change time went from 2000-01-01T00:00:00.250000000Z to "
              "2000-01-01T00:00:01.250000000Z");
}

TEST(SqliteHeader, OnlyTheWholeSixteenBytes) {
    const char header[] = "SQLite format 3";  // with its NUL: 16 bytes
    EXPECT_TRUE(isSqliteHeader(header, 16));
    EXPECT_TRUE(isSqliteHeader("SQLite format 3\0\x10\x00", 18));
    EXPECT_FALSE(isSqliteHeader(header, 15));
    EXPECT_FALSE(isSqliteHeader("SQLite format 3 ", 16));
    EXPECT_FALSE(isSqliteHeader("SQLite format 4", 16));
    EXPECT_FALSE(isSqliteHeader("sqlite format 3", 16));
}

TEST(InputFile, RefusesAFileThatHoldsMoreThanItsSize) {
    const auto [message, code] = thrown([] { InputFile input("/proc/self/status"); });
    EXPECT_EQ(message,
              "/proc/self/status has more bytes than its size (0) says; copy it to a regular "
              "file first");
    EXPECT_EQ(code, 2);
}

TEST(InputFile, ChangedAfterOpeningIsAFailedJob) {
    const std::string directory = freshDirectory("input-change");
    const std::string path = directory + "/log.txt";
    std::ofstream(path) << "12345";
    InputFile input(path);
    EXPECT_EQ(input.size(), 5u);
    EXPECT_FALSE(input.sqliteDatabase());
    input.open();  // a file named directly, too, holds a descriptor only now
    EXPECT_NO_THROW(input.requireUnchanged());
    std::ofstream(path, std::ios::app) << "6";
    const auto [message, code] = thrown([&] { input.requireUnchanged(); });
    EXPECT_EQ(message, path +
                           " changed while it was read (its size went from 5 to 6 bytes); "
                           "nothing was backed up");
    EXPECT_EQ(code, 1);
    // A short read is the same change, not a bare "shrank".
    InputFile again(path);
    again.open();
    ASSERT_EQ(::truncate(path.c_str(), 2), 0);
    char bytes[6];
    const auto [shortRead, shortCode] = thrown([&] { again.readAt(bytes, sizeof bytes, 0); });
    EXPECT_EQ(shortRead, path +
                             " changed while it was read (its size went from 6 to 2 bytes); "
                             "nothing was backed up");
    EXPECT_EQ(shortCode, 1);
}

// A live cluster's file: what was walked is read, whatever happens to it
// meanwhile; the log mends it on restore.
TEST(InputFile, ReadLiveTakesTheWalkedSizeZerosForWhatIsGoneAndNoChangeFailsIt) {
    const std::string directory = freshDirectory("input-live");
    const std::string path = directory + "/16384";
    std::ofstream(path) << "abcdefgh";
    struct stat walked;
    ASSERT_EQ(::lstat(path.c_str(), &walked), 0);
    std::string seen;
    InputFile shrinking(path, walked);
    shrinking.readLive([&](const char* data, std::size_t length, uint64_t offset) {
        seen += std::to_string(offset) + ":" + std::string(data, length) + ";";
    });
    std::ofstream(path, std::ios::app) << "grown";  // changed before it is opened
    shrinking.open();
    ASSERT_EQ(::truncate(path.c_str(), 3), 0);  // and while it is read
    char bytes[8];
    shrinking.readAt(bytes, 2, 0);
    shrinking.readAt(bytes + 2, 6, 2);
    EXPECT_EQ(std::string(bytes, 8), std::string("abc") + std::string(5, '\0'));
    EXPECT_NO_THROW(shrinking.requireUnchanged());
    shrinking.release();
    EXPECT_EQ(seen, "0:ab;2:c" + std::string(5, '\0') + ";");

    InputFile gone(path, walked);
    gone.readLive({});
    ASSERT_EQ(::unlink(path.c_str()), 0);
    gone.open();
    gone.readAt(bytes, 8, 0);
    EXPECT_EQ(std::string(bytes, 8), std::string(8, '\0'));

    // Not read live, the same removal fails the job.
    std::ofstream(path) << "abcdefgh";
    ASSERT_EQ(::lstat(path.c_str(), &walked), 0);
    InputFile plain(path, walked);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(thrown([&] { plain.open(); }).second, 1);
    std::filesystem::remove_all(directory);
}

// A cluster's walk: what keep refuses is not entered; a link to a directory
// taken empty is recorded as a directory and not followed.
TEST(TreeWalkRules, KeepAndTakenEmptyShapeTheWalk) {
    namespace fs = std::filesystem;
    const std::string directory = freshDirectory("walk-rules");
    const std::string root = directory + "/main";
    fs::create_directories(root + "/base/1");
    fs::create_directories(root + "/pg_stat_tmp/deep");
    fs::create_directories(directory + "/elsewhere");
    std::ofstream(root + "/base/1/1259") << "x";
    std::ofstream(root + "/postmaster.pid") << "1";
    std::ofstream(root + "/pg_stat_tmp/deep/f") << "y";
    std::ofstream(directory + "/elsewhere/000000010000000000000001") << "wal";
    fs::create_directory_symlink(directory + "/elsewhere", root + "/pg_wal");

    TreeWalkRules rules;
    std::vector<std::string> asked;
    rules.keep = [&](const std::string& relative, TreeEntry::Kind) {
        asked.push_back(relative);
        return relative != "postmaster.pid" && relative != "pg_stat_tmp/deep";
    };
    rules.takenEmpty = [](const std::string& relative) {
        return relative == "pg_wal" || relative == "pg_stat_tmp";
    };
    std::vector<std::string> got;
    for (const TreeEntry& entry : walkTree(root, [](const std::string&, const char*) {}, rules)) {
        got.push_back(entry.name + (entry.kind == TreeEntry::Kind::Directory ? "/" : ""));
    }
    EXPECT_EQ(got, (std::vector<std::string>{"main/", "main/base/", "main/base/1/",
                                             "main/base/1/1259", "main/pg_stat_tmp/",
                                             "main/pg_wal/"}));
    EXPECT_EQ(asked, (std::vector<std::string>{"base", "base/1", "base/1/1259", "pg_stat_tmp",
                                               "pg_stat_tmp/deep", "pg_wal", "postmaster.pid"}));
    fs::remove_all(directory);
}

TEST(SqliteSnapshot, HoldsWhatOnlyTheWalHeldAndGoesWithTheJob) {
    const std::string directory = freshDirectory("snapshot");
    const std::string database = directory + "/app.db";
    const std::string tmp = directory + "/tmp";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    execute(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE t(v)");
    execute(db,
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500) "
            "INSERT INTO t SELECT randomblob(100) FROM n");
    // The rows are in app.db-wal only, while db stays open.
    ASSERT_GT(std::filesystem::file_size(database + "-wal"), 0u);
    {
        InputFile input(database);
        EXPECT_TRUE(input.sqliteDatabase());
    }
    std::string kept;
    {
        SqliteSnapshot snapshot(database, tmp, 41, 2, std::chrono::milliseconds(1000));
        EXPECT_EQ(snapshot.path(), tmp + "/41-2.sqlite");
        struct stat status;
        ASSERT_EQ(::stat(snapshot.path().c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        EXPECT_EQ(snapshot.bytes(), static_cast<uint64_t>(status.st_size));
        // A live snapshot is not a dead job's leftover.
        EXPECT_TRUE(sweepSnapshots(tmp).empty());
        kept = directory + "/copy.db";
        std::filesystem::copy_file(snapshot.path(), kept);
    }
    EXPECT_FALSE(std::filesystem::exists(tmp + "/41-2.sqlite"));
    // Standalone: no -wal beside the copy, every row there.
    EXPECT_EQ(rowsOfT(kept), 500);
    sqlite3_close(db);
}

TEST(SqliteSnapshot, AFailedCopyLeavesNothing) {
    const std::string directory = freshDirectory("snapshot-failed");
    const std::string path = directory + "/bad.db";
    std::ofstream(path) << std::string("SQLite format 3", 16) << std::string(2000, 'x');
    const auto [message, code] = thrown(
        [&] { SqliteSnapshot(path, directory + "/tmp", 5, 1, std::chrono::milliseconds(100)); });
    EXPECT_EQ(
        message.rfind("cannot take a consistent snapshot of the SQLite database " + path + ": ", 0),
        0u)
        << message;
    EXPECT_NE(message.find("; nothing was backed up"), std::string::npos) << message;
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(std::filesystem::is_empty(directory + "/tmp"));
}

TEST(SqliteSnapshot, SweepTakesOnlyUnheldSnapshots) {
    const std::string tmp = freshDirectory("sweep");
    for (const char* name : {"17-1.sqlite", "17-2.sqlite", "notes.txt", "17-1.sqlite-journal"}) {
        std::ofstream(tmp + "/" + name) << "x";
    }
    // 17-2 is held, as a live job holds its snapshot.
    const int held = ::open((tmp + "/17-2.sqlite").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(sweepSnapshots(tmp), std::vector<std::string>{"17-1.sqlite"});
    EXPECT_TRUE(std::filesystem::exists(tmp + "/17-2.sqlite"));
    EXPECT_TRUE(std::filesystem::exists(tmp + "/notes.txt"));
    ::close(held);
    EXPECT_EQ(sweepSnapshots(tmp), std::vector<std::string>{"17-2.sqlite"});
    EXPECT_TRUE(sweepSnapshots(tmp + "/absent").empty());
}

}  // namespace
