// A SQLite database in WAL mode read where it lies: the -wal's committed
// frames, and the state read under a held transaction while a writer goes
// on committing and checkpointing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "AgentTestSupport.h"
#include "SqliteTestSupport.h"
#include "inputs/InputFile.h"
#include "inputs/SqliteWalFrames.h"
#include "inputs/SqliteWalImage.h"

namespace {

namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A database in WAL mode whose writer never checkpoints on its own; open
// while the object lives, so that its -wal stays.
struct WalDatabase {
    std::string path;
    sqlite3* db = nullptr;

    explicit WalDatabase(const std::string& directory) : path(directory + "/app.db") {
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        execute(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
                    "CREATE TABLE t(id INTEGER PRIMARY KEY, v BLOB)");
    }
    ~WalDatabase() { sqlite3_close(db); }
    void insert(int rows) {
        execute(db, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                        std::to_string(rows) + ") INSERT INTO t(v) SELECT randomblob(700) FROM n");
    }
    // The database file as a checkpoint of a copy of the database file
    // and its -wal writes it: SQLite's own reading of the committed state.
    std::string checkpointed(const std::string& directory) const {
        const std::string copy = directory + "/checkpointed.db";
        fs::remove(copy);
        fs::copy_file(path, copy);
        fs::copy_file(path + "-wal", copy + "-wal", fs::copy_options::overwrite_existing);
        sqlite3* other = nullptr;
        EXPECT_EQ(sqlite3_open(copy.c_str(), &other), SQLITE_OK);
        execute(other, "PRAGMA wal_checkpoint(TRUNCATE)");
        sqlite3_close(other);
        return contents(copy);
    }
};

std::optional<WalPages> pagesOf(const std::string& path, uint64_t maxHeld = 1ull << 30) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    std::optional<WalPages> pages = readWalPages(fd, path, maxHeld);
    ::close(fd);
    return pages;
}

// Reads input whole, in uneven pieces that cut pages.
std::string readAll(const InputFile& input) {
    std::string bytes(input.size(), '\0');
    for (uint64_t at = 0; at < bytes.size();) {
        const std::size_t length = std::min<uint64_t>(10000, bytes.size() - at);
        input.readAt(bytes.data() + at, length, at);
        at += length;
    }
    return bytes;
}

TEST(SqliteWalFrames, TakesEachPageNewestVersionUpToTheLastCommitThatHolds) {
    const std::string directory = freshDirectory("wal-frames");
    WalDatabase database(directory);
    database.insert(200);
    const std::string wal = database.path + "-wal";
    const std::string first = contents(wal);
    execute(database.db, "BEGIN");
    database.insert(200);
    execute(database.db, "UPDATE t SET v = randomblob(700) WHERE id % 7 = 0");
    execute(database.db, "COMMIT");
    const std::string both = contents(wal);

    const std::optional<WalPages> atFirst = pagesOf(wal);
    ASSERT_TRUE(atFirst);  // (the -wal as it is now)
    write(directory + "/first.wal", first);
    const std::optional<WalPages> firstOnly = pagesOf(directory + "/first.wal");
    ASSERT_TRUE(firstOnly && atFirst);
    EXPECT_EQ(firstOnly->pageSize, 4096u);
    EXPECT_GT(atFirst->frames, firstOnly->frames);
    EXPECT_GT(atFirst->databasePages, firstOnly->databasePages);
    // A page written in both commits is held as the second wrote it.
    const uint64_t frameSize = 24 + 4096;
    const auto lastVersion = [&](const std::string& log, uint64_t page) {
        std::string found;
        for (uint64_t at = 32; at + frameSize <= log.size(); at += frameSize) {
            const auto* header = reinterpret_cast<const unsigned char*>(log.data() + at);
            const uint32_t number = uint32_t{header[0]} << 24 | uint32_t{header[1]} << 16 |
                                    uint32_t{header[2]} << 8 | header[3];
            if (number == page) found = log.substr(at + 24, 4096);
        }
        return found;
    };
    EXPECT_TRUE(atFirst->pages.at(1) == lastVersion(both, 1));
    EXPECT_FALSE(atFirst->pages.at(1) == firstOnly->pages.at(1));

    // Whatever stops the frames from counting inside the second commit leaves
    // the first commit's state: a byte of its last frame changed, the log
    // cut inside that frame, or the frame carrying another generation's salt.
    std::string changed = both;
    changed[changed.size() - 100] ^= 1;
    std::string cut = both.substr(0, both.size() - 1);
    std::string salted = both;
    salted[salted.size() - frameSize + 8] ^= 1;
    for (const std::string& log : {changed, cut, salted}) {
        write(directory + "/damaged.wal", log);
        const std::optional<WalPages> got = pagesOf(directory + "/damaged.wal");
        ASSERT_TRUE(got);
        EXPECT_EQ(got->frames, firstOnly->frames);
        EXPECT_EQ(got->databasePages, firstOnly->databasePages);
        EXPECT_TRUE(got->pages == firstOnly->pages);
    }
    // A header that does not hold, an empty log: no commit at all.
    std::string header = both;
    header[20] ^= 1;
    for (const std::string& log : {header, std::string()}) {
        write(directory + "/damaged.wal", log);
        const std::optional<WalPages> got = pagesOf(directory + "/damaged.wal");
        ASSERT_TRUE(got);
        EXPECT_EQ(got->pageSize, 0u);
        EXPECT_EQ(got->frames, 0u);
        EXPECT_TRUE(got->pages.empty());
    }
    // More pages than may be held: none.
    EXPECT_FALSE(pagesOf(wal, atFirst->heldBytes() - 1));
    EXPECT_TRUE(pagesOf(wal, atFirst->heldBytes()));
}

TEST(SqliteWalImage, ReadsTheStateAsACheckpointWritesItWhateverTheWriterDoesMeanwhile) {
    const std::string directory = freshDirectory("wal-image");
    WalDatabase database(directory);
    database.insert(300);
    execute(database.db, "PRAGMA wal_checkpoint(TRUNCATE)");  // some rows in the file
    database.insert(300);
    execute(database.db, "UPDATE t SET v = randomblob(700) WHERE id % 5 = 0");
    const std::string expected = database.checkpointed(directory);

    std::string whyNot;
    std::unique_ptr<SqliteWalImage> image =
        SqliteWalImage::take(database.path, std::chrono::milliseconds(1000), 64 << 20, whyNot);
    ASSERT_TRUE(image) << whyNot;
    EXPECT_EQ(image->size(), expected.size());
    EXPECT_GT(image->heldBytes(), 0u);
    // The writer goes on: more rows, and checkpoints as far as the held
    // transaction lets them, which write the database file in place.
    database.insert(300);
    int logged = 0;
    int copied = 0;
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(database.db, nullptr, SQLITE_CHECKPOINT_PASSIVE, &logged,
                                        &copied),
              SQLITE_OK);
    EXPECT_GT(copied, 0);
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(database.db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                        nullptr),
              SQLITE_BUSY);  // the -wal is not rewound under it

    const InputFile input(database.path, *image);
    EXPECT_EQ(input.size(), expected.size());
    EXPECT_TRUE(input.sqliteDatabase());
    const std::string bytes = readAll(input);
    EXPECT_TRUE(bytes == expected) << "the state read is not the one checkpointed";
    input.requireUnchanged();  // the file changed, the state did not
    write(directory + "/restored.db", bytes);
    EXPECT_EQ(rowsOfT(directory + "/restored.db"), 600);

    // Gone, it holds nothing: the -wal can be rewound.
    image.reset();
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(database.db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                        nullptr),
              SQLITE_OK);
    EXPECT_EQ(rowsOfT(database.path), 900);
}

TEST(SqliteWalImage, LeavesToTheCopyADatabaseNotInWalModeOrAWalTooLargeToHold) {
    const std::string directory = freshDirectory("wal-image-not");
    const std::string rollback = directory + "/rollback.db";
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(rollback.c_str(), &db), SQLITE_OK);
        execute(db, "CREATE TABLE t(v); INSERT INTO t VALUES (1)");
        sqlite3_close(db);
    }
    std::string whyNot = "stale";
    EXPECT_FALSE(SqliteWalImage::take(rollback, std::chrono::milliseconds(100), 64 << 20, whyNot));
    EXPECT_EQ(whyNot, "");

    WalDatabase database(directory);
    database.insert(3000);
    EXPECT_FALSE(SqliteWalImage::take(database.path, std::chrono::milliseconds(100), 1 << 20, whyNot));
    EXPECT_EQ(whyNot, "its -wal holds more than 1 MiB of pages, more than a backup holds in memory");
    // It let go of the transaction it began.
    EXPECT_EQ(sqlite3_wal_checkpoint_v2(database.db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                        nullptr),
              SQLITE_OK);
    // With no frame in the -wal, the state is the file.
    std::unique_ptr<SqliteWalImage> image =
        SqliteWalImage::take(database.path, std::chrono::milliseconds(100), 1 << 20, whyNot);
    ASSERT_TRUE(image) << whyNot;
    EXPECT_EQ(image->heldBytes(), 0u);
    EXPECT_EQ(readAll(InputFile(database.path, *image)), contents(database.path));
}

}  // namespace
