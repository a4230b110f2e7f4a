// What a storage says it can do, held against what it does: the POSIX
// storage in a scratch directory does every operation it claims, and the
// fault storage claims exactly what the storage it wraps does, without
// numbering the question as an operation.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/local/storage/FaultInjectingStorage.h"
#include "platform/local/storage/PosixStorage.h"
#include "tests/local/RefusingStorage.h"

using localplatform::FaultInjectingStorage;
using localplatform::FaultRule;
using localplatform::FileModes;
using localplatform::PosixStorage;
using localplatform::StorageCapabilities;

namespace {

namespace fs = std::filesystem;

class LocalStorageCapabilitiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(LOCAL_TEST_TMP);
        std::string dir = std::string(LOCAL_TEST_TMP) + "/capabilitiesXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        m_dir = dir;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }
    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }

    std::string m_dir;
    FileModes modes;
};

// A storage that does nothing and claims the opposite of a file system on
// every count: what a wrapper passes on is then told apart from its own
// default.
class ClaimingStorage final : public RefusingStorage {
public:
    StorageCapabilities capabilities() const override {
        return {.rename = false,
                .hardLinks = false,
                .locks = false,
                .appending = false,
                .truncation = false,
                .directories = false,
                .pendingWrites = true,
                .hostFolder = false};
    }
};

TEST_F(LocalStorageCapabilitiesTest, ThePosixStorageDoesWhatItClaims) {
    PosixStorage storage;
    const StorageCapabilities claimed = storage.capabilities();
    // Known before a storage is made, for a store not opened yet.
    EXPECT_EQ(claimed, PosixStorage::kCapabilities);
    ASSERT_TRUE(claimed.rename && claimed.hardLinks && claimed.locks && claimed.appending &&
                claimed.truncation && claimed.directories && claimed.hostFolder);
    EXPECT_FALSE(claimed.pendingWrites);

    // A directory of its own, on this host, made durable.
    ASSERT_TRUE(storage.makeDirectory(path("files"), modes));
    struct stat made {};
    ASSERT_EQ(::stat(path("files").c_str(), &made), 0);
    EXPECT_TRUE(S_ISDIR(made.st_mode));
    EXPECT_TRUE(storage.syncDirectory(path("files")));

    // A second name of the same file, not a copy.
    write(path("files/a"), "abc");
    ASSERT_TRUE(storage.link(path("files/a"), path("files/b")));
    struct stat first {}, second {};
    ASSERT_EQ(::stat(path("files/a").c_str(), &first), 0);
    ASSERT_EQ(::stat(path("files/b").c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    EXPECT_EQ(first.st_nlink, 2u);

    ASSERT_TRUE(storage.rename(path("files/b"), path("files/c")));
    EXPECT_FALSE(fs::exists(path("files/b")));
    EXPECT_TRUE(fs::exists(path("files/c")));

    auto appended = storage.openForAppending(path("files/a"), modes);
    ASSERT_TRUE(appended);
    ASSERT_TRUE(appended->append("de", 2, nullptr));
    appended.reset();
    EXPECT_EQ(fs::file_size(path("files/a")), 5u);
    ASSERT_TRUE(storage.truncate(path("files/a"), 1));
    EXPECT_EQ(fs::file_size(path("files/a")), 1u);

    auto held = storage.lock(path("files/1.lock"), true, modes);
    ASSERT_TRUE(held);
    errno = 0;
    EXPECT_FALSE(storage.lock(path("files/1.lock"), false, modes));
    EXPECT_EQ(errno, EWOULDBLOCK);
    held.reset();
    EXPECT_TRUE(storage.lockShared(path("files/1.lock"), false, modes));

    // No write is kept apart from the files.
    errno = EIO;
    EXPECT_TRUE(storage.pendingWrites(path("files")).empty());
    EXPECT_EQ(errno, 0);
}

TEST_F(LocalStorageCapabilitiesTest, TheFaultStorageClaimsWhatItWrapsAndCountsNoOperationForIt) {
    std::vector<FaultRule> rules;
    const auto overPosix =
        std::make_shared<FaultInjectingStorage>(std::make_shared<PosixStorage>(), rules);
    EXPECT_EQ(overPosix->capabilities(), PosixStorage::kCapabilities);

    const auto claiming = std::make_shared<ClaimingStorage>();
    const auto overClaiming = std::make_shared<FaultInjectingStorage>(claiming, rules);
    EXPECT_EQ(overClaiming->capabilities(), claiming->capabilities());
    EXPECT_NE(overClaiming->capabilities(), StorageCapabilities{});

    // Asking is no operation: the first one after it is still the first.
    std::string why;
    ASSERT_TRUE(localplatform::parseFaultPlan("nth=1,errno=EIO", &rules, &why)) << why;
    const auto faulty =
        std::make_shared<FaultInjectingStorage>(std::make_shared<PosixStorage>(), rules);
    EXPECT_TRUE(faulty->capabilities().hostFolder);
    EXPECT_TRUE(faulty->calls().empty());
    errno = 0;
    EXPECT_FALSE(faulty->status(m_dir, nullptr, false));
    EXPECT_EQ(errno, EIO);
}

}  // namespace
