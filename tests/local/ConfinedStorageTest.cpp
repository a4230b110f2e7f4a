// The POSIX storage confined to a store's directory: nothing below it is
// reached through a link, nothing of another kind is opened as a file, and
// nothing of the kind waits on a FIFO. Each case sets a trap of links and
// FIFOs in a scratch store and checks that the directory beside it, where
// the links lead, is as it was.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/local/storage/PosixStorage.h"

using localplatform::EntryStatus;
using localplatform::FileModes;
using localplatform::PosixStorage;

namespace {

namespace fs = std::filesystem;

class LocalConfinedStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(LOCAL_TEST_TMP);
        std::string dir = std::string(LOCAL_TEST_TMP) + "/confinedXXXXXX";
        ASSERT_NE(mkdtemp(dir.data()), nullptr);
        m_dir = dir;
        root = m_dir + "/store";
        outside = m_dir + "/outside";
        fs::create_directories(root + "/files");
        fs::create_directories(outside);
        write(outside + "/victim", "precious");
        ASSERT_TRUE(storage.confine(root));
    }
    void TearDown() override { fs::remove_all(m_dir); }

    static void write(const std::string& path, const std::string& text) {
        std::ofstream(path) << text;
    }
    static std::string read(const std::string& path) {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // The names in outside/ and the victim's bytes.
    std::string outsideState() const {
        std::string state;
        for (const auto& entry : fs::directory_iterator(outside)) {
            state += entry.path().filename().string() + "\n";
        }
        return state + read(outside + "/victim");
    }

    std::string m_dir, root, outside;
    PosixStorage posix;
    localplatform::Storage& storage = posix;
    FileModes modes;
};

// files/ is a link to outside/: every operation on a path through it fails
// without touching outside/.
TEST_F(LocalConfinedStorageTest, NoOperationPassesALinkedDirectory) {
    fs::remove_all(root + "/files");
    fs::create_directory_symlink(outside, root + "/files");
    const std::string before = outsideState();
    const std::string through = root + "/files/victim";

    errno = 0;
    EXPECT_EQ(storage.createExclusive(root + "/files/new", modes), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(storage.openForReading(through, nullptr), nullptr);
    EXPECT_EQ(storage.openForAppending(through, modes), nullptr);
    EXPECT_EQ(storage.openForAppending(root + "/files/log", modes), nullptr);
    EXPECT_FALSE(storage.status(through, nullptr));
    EXPECT_FALSE(storage.remove(through));
    EXPECT_FALSE(storage.rename(through, root + "/taken"));
    EXPECT_FALSE(storage.link(through, root + "/taken"));
    EXPECT_FALSE(storage.truncate(through, 0));
    EXPECT_EQ(storage.lock(root + "/files/lock", true, modes), nullptr);
    EXPECT_FALSE(storage.makeDirectory(root + "/files/dir", modes));
    std::vector<std::string> names;
    EXPECT_FALSE(storage.list(root + "/files", &names));
    EXPECT_FALSE(storage.syncDirectory(root + "/files"));

    EXPECT_EQ(outsideState(), before);
    EXPECT_FALSE(fs::exists(root + "/taken"));
}

// A link as the last component: not followed, told as a link, and removed
// or renamed as the link itself.
TEST_F(LocalConfinedStorageTest, ALinkAtTheEndIsTheLinkItself) {
    fs::create_symlink(outside + "/victim", root + "/catalog.db");
    EntryStatus status;
    ASSERT_TRUE(storage.status(root + "/catalog.db", &status));
    EXPECT_EQ(status.kind, EntryStatus::Kind::Link);
    errno = 0;
    EXPECT_EQ(storage.openForReading(root + "/catalog.db", nullptr), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(storage.openForAppending(root + "/catalog.db", modes), nullptr);
    EXPECT_EQ(storage.createExclusive(root + "/catalog.db", modes), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(storage.truncate(root + "/catalog.db", 0));
    EXPECT_EQ(storage.lock(root + "/catalog.db", true, modes), nullptr);

    ASSERT_TRUE(storage.rename(root + "/catalog.db", root + "/aside"));
    EXPECT_TRUE(fs::is_symlink(root + "/aside"));
    ASSERT_TRUE(storage.remove(root + "/aside"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(root + "/aside")));
    EXPECT_EQ(read(outside + "/victim"), "precious");
}

// FIFOs in the place of files: refused at once as what they are (a test
// that blocked here would fail by its time limit).
TEST_F(LocalConfinedStorageTest, AFifoIsRefusedWithoutWaiting) {
    const std::string fifo = root + "/store.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EntryStatus status;
    errno = 0;
    EXPECT_EQ(storage.openForReading(fifo, &status), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(status.kind, EntryStatus::Kind::Fifo);
    errno = 0;
    EXPECT_EQ(storage.openForAppending(fifo, modes), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(storage.lock(fifo, true, modes), nullptr);
    EXPECT_EQ(storage.lock(fifo, false, modes), nullptr);
    EXPECT_FALSE(storage.truncate(fifo, 0));
    std::string text;
    EXPECT_FALSE(storage.readSmallFile(fifo, 1024, &text));
}

// Paths below the root that climb out are refused; paths elsewhere are
// reached as before, links and all.
TEST_F(LocalConfinedStorageTest, DotDotBelowTheRootIsRefused) {
    errno = 0;
    EXPECT_FALSE(storage.status(root + "/files/../../outside/victim", nullptr));
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(storage.createExclusive(root + "/../outside/new", modes), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(fs::exists(outside + "/new"));

    fs::create_directory_symlink(outside, m_dir + "/elsewhere");
    EntryStatus status;
    ASSERT_TRUE(storage.status(m_dir + "/elsewhere/victim", &status));
    EXPECT_EQ(status.kind, EntryStatus::Kind::Regular);
    EXPECT_EQ(status.size, 8u);
}

// The root is held open: a link put in the store's place after it was
// confined leads nowhere, and the store's own files stay reachable.
TEST_F(LocalConfinedStorageTest, TheRootIsHeldByItsDescriptor) {
    write(root + "/files/1.meta", "description");
    fs::rename(root, m_dir + "/moved");
    fs::create_directory_symlink(outside, root);
    std::string text;
    ASSERT_TRUE(storage.readSmallFile(root + "/files/1.meta", 1024, &text));
    EXPECT_EQ(text, "description");
    auto file = storage.createExclusive(root + "/files/2.arch", modes);
    ASSERT_NE(file, nullptr);
    EXPECT_TRUE(fs::exists(m_dir + "/moved/files/2.arch"));
    EXPECT_FALSE(fs::exists(outside + "/files"));
}

// Appending opens what is there at its end, or makes it with the store's
// mode, and each append lands at the end.
TEST_F(LocalConfinedStorageTest, AppendingKeepsWhatIsThere) {
    write(root + "/old.log", "one\n");
    {
        auto file = storage.openForAppending(root + "/old.log", modes);
        ASSERT_NE(file, nullptr);
        ASSERT_TRUE(file->append("two\n", 4, nullptr));
    }
    EXPECT_EQ(read(root + "/old.log"), "one\ntwo\n");
    FileModes shared;
    shared.file = 0640;
    auto made = storage.openForAppending(root + "/new.log", shared);
    ASSERT_NE(made, nullptr);
    struct stat info;
    ASSERT_EQ(::stat((root + "/new.log").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
}

}  // namespace
