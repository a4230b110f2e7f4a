// Stores a user may only read, stores on a full file system, and things
// other than regular files where archive files belong.

#include <grp.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>

#include "ChildProcess.h"
#include "LocalFixture.h"

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Jobs.h"
#include "platform/local/Maintenance.h"
#include "platform/local/StoreSession.h"

using localplatform::StoreError;
using LocalStoreAccessTest = LocalPlatformTest;
namespace fs = std::filesystem;

namespace {

bool contains(const std::vector<std::string>& lines, const std::string& part) {
    for (const std::string& line : lines) {
        if (line.find(part) != std::string::npos) return true;
    }
    return false;
}

// The names and modification times of everything under dir.
std::map<std::string, fs::file_time_type> listing(const std::string& dir) {
    std::map<std::string, fs::file_time_type> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        found[entry.path().string()] = fs::symlink_status(entry.path()).type() == fs::file_type::symlink
                                           ? fs::file_time_type{}
                                           : fs::last_write_time(entry.path());
    }
    return found;
}

}  // namespace

// A store is its owner's alone unless it is made to be shared with a group:
// then that group may read it; others may do nothing with it.
class LocalSharedStoreTest : public LocalPlatformTest {
protected:
    // Makes the test's store anew, shared with the group of nobody.
    void shareWithNobody() {
        localplatform::closeStore();
        config.storeDir = dir() + "/shared";
        config.shareGroup = "nogroup";
        reconfigure();
    }
};

// As root, a child that becomes nobody reads a store shared with its group,
// which it may not write.
TEST_F(LocalSharedStoreTest, AUserWhoMayOnlyReadTheStoreListsChecksAndRestores) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as an unprivileged user";
    shareWithNobody();
    const ArchiveFileId_t id = backup(bytes(2000));
    localplatform::completeJob(config.jobId);
    const std::string store = localplatform::storeDirectory();
    localplatform::closeStore();
    // Readable (not writable) by others all the way down.
    for (fs::path up = store; up != up.root_path(); up = up.parent_path()) {
        if (up.string().size() <= std::string(LOCAL_TEST_TMP).size()) break;
        fs::permissions(up, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    }
    fs::permissions(LOCAL_TEST_TMP, fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    const auto before = listing(store);

    localplatform::Config readOnly = config;
    readOnly.logFile.clear();
    readOnly.logLevel = -1;
    ChildProcess reader([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            return 10;
        }
        try {
            localplatform::openStore(readOnly, localplatform::Access::ReadWrite, false);
            return 11;  // must be refused: nothing may be written
        } catch (const StoreError& error) {
            if (error.kind() != StoreError::Kind::Unusable) return 12;
        }
        try {
            localplatform::openStore(readOnly, localplatform::Access::ReadOnly, false);
            const auto jobs = localplatform::listJobs();
            if (jobs.size() != 1 || jobs[0].state != "complete" || jobs[0].files.size() != 1) return 13;
            if (!localplatform::check(false).problems.empty()) return 14;
            int result = -1;
            auto archive = open(id, &result);
            if (result != 0) return 15;
            try {
                localplatform::beginJob(1);
                return 16;
            } catch (const StoreError& error) {
                if (error.kind() != StoreError::Kind::Unusable) return 17;
            }
            try {
                localplatform::cleanup();
                return 18;
            } catch (const StoreError&) {
            }
        } catch (const std::exception& error) {
            fprintf(stderr, "read-only child: %s\n", error.what());
            return 19;
        }
        return 0;
    });
    EXPECT_EQ(reader.exitCode(), 0);
    EXPECT_EQ(listing(store), before);  // not even a journal was made
}

// A catalog left in write-ahead-log mode by an older platform, read by a
// user who cannot create its shared-memory file.
TEST_F(LocalSharedStoreTest, AnOldWriteAheadLogCatalogIsReadWithoutWriting) {
    if (onPostgres()) GTEST_SKIP() << "SQLite catalogs only";
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as an unprivileged user";
    shareWithNobody();
    backup("data");
    const std::string store = localplatform::storeDirectory();
    localplatform::closeStore();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((store + "/catalog.db").c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    for (fs::path up = store; up.string().size() >= std::string(LOCAL_TEST_TMP).size();
         up = up.parent_path()) {
        fs::permissions(up, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
    }
    ChildProcess reader([&] {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0) {
            return 10;
        }
        try {
            localplatform::Config readOnly = config;
            readOnly.logFile.clear();
            localplatform::openStore(readOnly, localplatform::Access::ReadOnly, false);
            return localplatform::listArchiveFiles().size() == 1 ? 0 : 1;
        } catch (const std::exception& error) {
            fprintf(stderr, "read-only child: %s\n", error.what());
            return 2;
        }
    });
    EXPECT_EQ(reader.exitCode(), 0);
}

// A small tmpfs mounted for the test holds the store.
TEST_F(LocalStoreAccessTest, AFullDiskFailsTheBackupClearlyAndCleanupStillWorks) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a small file system";
    const std::string mountPoint = dir() + "/small";
    fs::create_directories(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=512k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(errno);
    }
    struct Unmount {
        std::string path;
        ~Unmount() {
            localplatform::closeStore();
            ::umount2(path.c_str(), MNT_DETACH);
        }
    } unmount{mountPoint};
    config.storeDir = mountPoint + "/store";
    reconfigure();
    const ArchiveFileId_t kept = backup("kept");
    localplatform::completeJob(config.jobId);

    useJob(config.jobId + 1);
    CreateRet_t created;
    auto archive = create(&created);
    const std::string chunk = bytes(64 * 1024);
    std::string error;
    bool full = false;
    for (int i = 0; i < 32 && !full; ++i) {
        full = !localplatform::writeStream(config.jobId, 1, chunk.data(), chunk.size(), &error);
    }
    ASSERT_TRUE(full);
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_NE(close(*archive, idOf(created)), 0);
    EXPECT_EQ(state(idOf(created)), "writing");  // the catalog stays as it was

    // Read-only operations go on while the disk is full.
    EXPECT_EQ(localplatform::listJobs().size(), 2u);
    int opened = -1;
    auto restore = open(kept, &opened);
    EXPECT_EQ(opened, 0);
    restore.reset();

    archive.reset();
    localplatform::failJob(config.jobId);
    const auto cleaned = localplatform::cleanup();
    ASSERT_EQ(cleaned.removed.size(), 1u);
    EXPECT_EQ(cleaned.removed[0].afileId, created.afileId);
    const auto healthy = localplatform::check(false);
    EXPECT_TRUE(healthy.problems.empty()) << (healthy.problems.empty() ? "" : healthy.problems[0]);
    useJob(config.jobId + 1);
    backup("after");  // there is room again
}

// In place of a closed archive file: a FIFO, a directory, a symbolic link.
// Nothing blocks (a blocking open of the FIFO would hang the test until
// its timeout).
TEST_F(LocalStoreAccessTest, SpecialFilesInPlaceOfArchiveFilesAreRefusedWithoutBlocking) {
    struct Case {
        const char* kind;
        const char* refusal;
    };
    for (const Case& c : {Case{"fifo", "is not a regular file but a FIFO"},
                          Case{"directory", "is not a regular file but a directory"},
                          Case{"symlink", "is a symbolic link"}}) {
        SCOPED_TRACE(c.kind);
        const ArchiveFileId_t id = backup("data");
        const std::string path =
            localplatform::storeDirectory() + "/files/" + std::to_string(id.afileId) + ".arch";
        fs::remove(path);
        const std::string target = dir() + "/target";
        std::ofstream(target) << "data";
        if (std::string(c.kind) == "fifo") {
            ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
        } else if (std::string(c.kind) == "directory") {
            fs::create_directory(path);
        } else {
            fs::create_symlink(target, path);
        }

        int result = 0;
        auto archive = open(id, &result);
        EXPECT_NE(result, 0);
        EXPECT_NE(log().find("cannot open " + describe(id) + ": its data file " + path + " " +
                             c.refusal),
                  std::string::npos)
            << log();
        EXPECT_FALSE(localplatform::listArchiveFiles().empty());
        const auto found = localplatform::check(false).problems;
        EXPECT_TRUE(contains(found, "its data file " + path + " is not a regular file")) << found.size();

        // Cleanup of its failed job removes FIFOs and links, never a directory
        // or what a link points to.
        localplatform::failJob(config.jobId);
        const auto cleaned = localplatform::cleanup();
        if (std::string(c.kind) == "directory") {
            EXPECT_TRUE(contains(cleaned.refused, path + " is a directory; left alone"));
            EXPECT_TRUE(fs::is_directory(path));
        } else {
            EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
        }
        EXPECT_EQ(contentsOf(target), "data");
        useJob(config.jobId + 1);
    }
}

// Every directory and file that a backup makes in a store (the store's own
// directory, files/, jobs/, logs/, store.ini, the catalog, archive files,
// descriptions, completion markers, locks, logs) has the store's modes,
// whatever the umask: its owner's alone, or readable by the one group it is
// shared with.
TEST_F(LocalSharedStoreTest, EverythingAStoreHoldsHasItsModesWhateverTheUmask) {
    const bool shared = geteuid() == 0;  // only root may give files any group
    for (const bool share : {false, shared}) {
        for (const mode_t mask : {mode_t{000}, mode_t{022}, mode_t{077}}) {
            SCOPED_TRACE(testing::Message() << "umask " << std::oct << mask << " shared " << share);
            const mode_t before = ::umask(mask);
            localplatform::closeStore();
            config.storeDir = dir() + "/umask" + std::to_string(mask) + (share ? "-shared" : "");
            config.shareGroup = share ? "nogroup" : "";
            config.logFile.clear();
            config.storeLogName = "modes";
            reconfigure();
            backup(bytes(3000));
            localplatform::completeJob(config.jobId);
            localplatform::closeStore();
            ::umask(before);

            const mode_t directoryMode = share ? 0750 : 0700, fileMode = share ? 0640 : 0600;
            std::vector<fs::path> all{config.storeDir};
            for (const auto& entry : fs::recursive_directory_iterator(config.storeDir)) {
                all.push_back(entry.path());
            }
            // The store, 3 folders, store.ini, data, description, marker, log;
            // on SQLite also the catalog and the job's lock.
            EXPECT_GE(all.size(), onPostgres() ? 9u : 11u);
            for (const fs::path& path : all) {
                struct stat status {};
                ASSERT_EQ(::lstat(path.c_str(), &status), 0) << path;
                EXPECT_EQ(status.st_mode & 07777, S_ISDIR(status.st_mode) ? directoryMode : fileMode)
                    << path;
                if (share) {
                    EXPECT_EQ(status.st_gid, 65534u) << path;
                }
            }
        }
    }
}

// check says when others may write the store's places; it repairs nothing
// for it.
TEST_F(LocalStoreAccessTest, CheckReportsAStoreThatOthersMayWrite) {
    backup(bytes(100));
    localplatform::completeJob(config.jobId);
    const std::string store = localplatform::storeDirectory();
    EXPECT_TRUE(localplatform::check(false).problems.empty());
    fs::permissions(store + "/files", fs::perms::others_write, fs::perm_options::add);
    const auto found = localplatform::check(true);
    std::string said;
    for (const std::string& problem : found.problems) said += problem + "\n";
    ASSERT_EQ(found.problems.size(), 1u) << said;
    EXPECT_EQ(found.problems[0], store + "/files can be written by users other than its owner "
                                         "(mode 0702); chmod go-w " + store + "/files");
    EXPECT_TRUE(found.repaired.empty());
    EXPECT_EQ(found.repairable, 0u);
}
