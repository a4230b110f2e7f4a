// Directory trees: the recorded paths' checks, the placement of files on the
// streams, the manifest's tree entries, and the output's refusal of paths
// through links.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "base/AgentError.h"
#include "base/RelativePath.h"
#include "inputs/InputFile.h"
#include "manifest/Manifest.h"
#include "outputs/TreeOutput.h"
#include "streams/BackupStreams.h"

namespace {

TEST(RelativePath, AcceptsPlainRelativePaths) {
    for (const std::string path : {"a", "db/base/1/123", "name with spaces/x", "new\nline",
                                   "caf\xc3\xa9/\xe2\x82\xac", ".hidden/..x/x..", "a/b/c/d/e/f"}) {
        EXPECT_EQ(relativePathProblem(path), "") << path;
    }
}

TEST(RelativePath, RefusesWhatCouldClimbOutOrIsAmbiguous) {
    EXPECT_EQ(relativePathProblem(""), "is empty");
    EXPECT_EQ(relativePathProblem("/etc/passwd"), "is absolute");
    EXPECT_EQ(relativePathProblem("/"), "is absolute");
    EXPECT_EQ(relativePathProblem(".."), "has a part \"..\", which climbs out");
    EXPECT_EQ(relativePathProblem("../x"), "has a part \"..\", which climbs out");
    EXPECT_EQ(relativePathProblem("a/../../x"), "has a part \"..\", which climbs out");
    EXPECT_EQ(relativePathProblem("a/.."), "has a part \"..\", which climbs out");
    EXPECT_EQ(relativePathProblem("."), "has a part \".\"");
    EXPECT_EQ(relativePathProblem("a/./b"), "has a part \".\"");
    EXPECT_EQ(relativePathProblem("a//b"), "has an empty part");
    EXPECT_EQ(relativePathProblem("a/"), "has an empty part");
    EXPECT_EQ(relativePathProblem(std::string("a\0b", 3)), "holds a NUL byte");
}

TEST(RelativePath, PartsParentsAndWithin) {
    EXPECT_EQ(pathParts("a/b c/d"), (std::vector<std::string>{"a", "b c", "d"}));
    EXPECT_EQ(parentPath("a/b/c"), "a/b");
    EXPECT_EQ(parentPath("a"), "");
    EXPECT_EQ(lastPart("a/b/c"), "c");
    EXPECT_TRUE(pathWithin("a/b", "a"));
    EXPECT_TRUE(pathWithin("a", "a"));
    EXPECT_FALSE(pathWithin("ab", "a"));
    EXPECT_FALSE(pathWithin("a", "a/b"));
}

TEST(RelativePath, Utf8AndPrinting) {
    EXPECT_TRUE(validUtf8("caf\xc3\xa9 \xf0\x9f\x98\x80"));
    EXPECT_FALSE(validUtf8("caf\xe9"));
    EXPECT_FALSE(validUtf8("\xc0\xaf"));      // overlong
    EXPECT_FALSE(validUtf8("\xed\xa0\x80"));  // a surrogate
    EXPECT_FALSE(validUtf8("\xe2\x82"));      // cut short
    EXPECT_EQ(printablePath("caf\xe9\n\\x"), "caf\\xe9\\x0a\\\\x");
    EXPECT_EQ(printablePath("caf\xc3\xa9"), "caf\xc3\xa9");
}

uint64_t sum(const std::vector<uint64_t>& v) { return std::accumulate(v.begin(), v.end(), 0ULL); }

TEST(Placement, SmallFilesGoWholeToTheLeastLoadedStream) {
    // 5, 3, 3, 2, 1 over 3 streams: 5->1, 3->2, 3->3, 2->2 (3 < 3? no: ties
    // to the lowest: stream 2 and 3 hold 3 each, 2 goes to 2), 1->3.
    const auto placement = BackupStreams::placeFiles({5, 3, 3, 2, 1}, 3, 100);
    EXPECT_EQ(placement, (std::vector<unsigned long>{1, 2, 3, 2, 3}));
}

TEST(Placement, FilesAboveTheLimitAreSplitAndCountOnEveryStream) {
    // 90 split over 3 adds 30 to each; then 10 goes to stream 1, 5 to 2.
    const auto placement = BackupStreams::placeFiles({90, 10, 5}, 3, 20);
    EXPECT_EQ(placement, (std::vector<unsigned long>{0, 1, 2}));
}

TEST(Placement, OneStreamHoldsEverythingWhole) {
    const auto placement = BackupStreams::placeFiles({1000, 1, 0}, 1, 10);
    EXPECT_EQ(placement, (std::vector<unsigned long>{1, 1, 1}));
}

TEST(Placement, TheLimitIs64MiBOrTheTotalOverTheStreams) {
    EXPECT_EQ(BackupStreams::wholeFileLimit(uint64_t{10} << 30, 4), uint64_t{64} << 20);
    EXPECT_EQ(BackupStreams::wholeFileLimit(400, 4), 100u);
}

TEST(Placement, ManyFilesBalanceWithinTheLargestWholeFile) {
    std::vector<uint64_t> sizes;
    uint64_t seed = 7;
    for (int i = 0; i < 10000; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        sizes.push_back(1024 + (seed >> 33) % (1024 * 1024));
    }
    const unsigned long streams = 4;
    const uint64_t limit = BackupStreams::wholeFileLimit(sum(sizes), streams);
    const auto placement = BackupStreams::placeFiles(sizes, streams, limit);
    std::vector<uint64_t> load(streams, 0);
    uint64_t largest = 0;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        ASSERT_GE(placement[i], 1u);
        load[placement[i] - 1] += sizes[i];
        largest = std::max(largest, sizes[i]);
    }
    const auto [low, high] = std::minmax_element(load.begin(), load.end());
    EXPECT_LE(*high - *low, largest);
}

// The streams' parts of files placed whole and split tile each file in
// stream order, as every manifest format requires.
TEST(Placement, PartsTileEachFileInStreamOrder) {
    const std::string dir = freshDirectory("placement");
    std::vector<std::unique_ptr<InputFile>> inputs;
    std::vector<const InputFile*> list;
    for (const uint64_t size : {0ULL, 10ULL, 3000ULL, 7ULL, 20ULL}) {
        const std::string path = dir + "/f" + std::to_string(inputs.size());
        std::ofstream(path) << std::string(size, 'x');
        struct stat status;
        ASSERT_EQ(::lstat(path.c_str(), &status), 0);
        inputs.push_back(std::make_unique<InputFile>(path, status));
        list.push_back(inputs.back().get());
    }
    BackupStreams streams(list, 3, 1, 0);
    // Total 3037, limit 1012: the 3000-byte file is split, the rest whole.
    EXPECT_EQ(streams.placement(2), 0u);
    std::vector<uint64_t> archive(3, 0);
    for (std::size_t f = 0; f < list.size(); ++f) {
        uint64_t offset = 0;
        unsigned long holders = 0;
        for (unsigned long k = 1; k <= 3; ++k) {
            EXPECT_EQ(streams.partOffset(f, k), offset) << f << " " << k;
            EXPECT_EQ(streams.archiveOffset(f, k), archive[k - 1]);
            offset += streams.partSize(f, k);
            archive[k - 1] += streams.partSize(f, k);
            holders += streams.partSize(f, k) > 0 ? 1 : 0;
        }
        EXPECT_EQ(offset, list[f]->size());
        if (f != 2 && list[f]->size() > 0) {
            EXPECT_EQ(holders, 1u);
            EXPECT_EQ(streams.partSize(f, streams.placement(f)), list[f]->size());
        }
    }
    EXPECT_EQ(streams.partSize(2, 1) + streams.partSize(2, 2) + streams.partSize(2, 3), 3000u);
    std::filesystem::remove_all(dir);
}

// A manifest of format 3 with a tree, written out with python-free JSON.
const char* kArchives =
    R"("archiveFiles": [{"stream": 1, "trellanId": 5, "groupNumber": 1, "afileId": 1},
                        {"stream": 2, "trellanId": 5, "groupNumber": 2, "afileId": 2}])";
const char* kEmpty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kDigest(64, 'a');

std::string manifestWith(const std::string& files) {
    return std::string(R"({"format": "pipeline-agent-manifest", "version": 3, "jobId": 9, )") +
           kArchives + ", \"files\": [" + files + "]}";
}

std::string directory(const std::string& name) {
    return R"({"name": ")" + name + R"(", "kind": "directory", "mode": 493, "mtime": 5})";
}

std::string link(const std::string& name) {
    return R"({"name": ")" + name + R"(", "kind": "symlink", "target": "/etc"})";
}

// A file held whole by stream `stream` at seekOffset `seek`.
std::string wholeFile(const std::string& name, int stream, int seek, int size, int fileSize = -1) {
    return R"({"name": ")" + name + R"(", "kind": "file", "mode": 420, "mtime": -1, "size": )" +
           std::to_string(fileSize < 0 ? size : fileSize) + R"(, "sha256": ")" + kDigest +
           R"(", "streams": [{"stream": )" + std::to_string(stream) +
           R"(, "trellanId": 5, "groupNumber": )" + std::to_string(stream) + R"(, "afileId": )" +
           std::to_string(stream) + R"(, "sourceOffset": 0, "seekOffset": )" +
           std::to_string(seek) + R"(, "size": )" + std::to_string(size) + R"(, "sha256": ")" +
           kDigest + R"("}]})";
}

std::string emptyFile(const std::string& name) {
    return R"({"name": ")" + name + R"(", "kind": "file", "mode": 384, "size": 0, "sha256": ")" +
           kEmpty + R"(", "streams": []})";
}

class TreeManifest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = freshDirectory("tree-manifest"); }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    Manifest load(const std::string& text) {
        const std::string path = m_dir + "/m.json";
        std::ofstream(path, std::ios::trunc) << text;
        return loadManifest(path);
    }
    std::string refused(const std::string& text) {
        const auto [message, code] = thrown([&] { load(text); });
        EXPECT_EQ(code, 2) << message;
        return message;
    }

    std::string m_dir;
};

TEST_F(TreeManifest, LoadsDirectoriesLinksAndSparseShares) {
    const Manifest m = load(manifestWith(
        directory("t") + "," + directory("t/sub dir") + "," + wholeFile("t/a", 2, 0, 10) + "," +
        emptyFile("t/sub dir/empty") + "," + link("t/l") + "," + wholeFile("t/b", 1, 0, 4) + "," +
        wholeFile("t/c", 2, 10, 1)));
    ASSERT_EQ(m.files.size(), 7u);
    EXPECT_TRUE(holdsTree(m));
    EXPECT_EQ(m.files[0].kind, ManifestFile::Kind::Directory);
    EXPECT_EQ(m.files[0].mode, 0755);
    EXPECT_TRUE(m.files[0].hasMtime);
    EXPECT_EQ(m.files[0].mtime, 5);
    EXPECT_EQ(m.files[2].mtime, -1);
    EXPECT_EQ(m.files[4].kind, ManifestFile::Kind::Symlink);
    EXPECT_EQ(m.files[4].target, "/etc");
    // t/a whole on stream 2: stream 1's share is empty at its start.
    const ManifestFile& a = m.files[2];
    ASSERT_EQ(a.shares.size(), 2u);
    EXPECT_EQ(a.shares[0].size, 0u);
    EXPECT_EQ(a.shares[0].sourceOffset, 0u);
    EXPECT_EQ(a.shares[0].seekOffset, 0u);
    EXPECT_EQ(a.shares[0].sha256, kEmpty);
    EXPECT_EQ(a.shares[1].size, 10u);
    // t/b whole on stream 1: stream 2's empty share lies at its end, where
    // stream 2 stands after t/a.
    const ManifestFile& b = m.files[5];
    EXPECT_EQ(b.shares[1].sourceOffset, 4u);
    EXPECT_EQ(b.shares[1].seekOffset, 10u);
    EXPECT_EQ(m.files[6].shares[1].seekOffset, 10u);
}

TEST_F(TreeManifest, RefusesPathsThatCouldEscapeOrAreMalformed) {
    EXPECT_NE(refused(manifestWith(directory("t") + "," + emptyFile("/etc/x"))).find("is absolute"),
              std::string::npos);
    EXPECT_NE(
        refused(manifestWith(directory("t") + "," + emptyFile("t/../../x"))).find("climbs out"),
        std::string::npos);
    EXPECT_NE(refused(manifestWith(directory("t") + "," + emptyFile("t//x"))).find("empty part"),
              std::string::npos);
    EXPECT_NE(refused(manifestWith(directory("t") + "," + emptyFile("t/./x"))).find("\".\""),
              std::string::npos);
    EXPECT_NE(refused(manifestWith(directory("t") + "," + emptyFile("t/a\\u0000b"))).find("NUL"),
              std::string::npos);
    EXPECT_NE(refused(manifestWith(directory("..") + "," + emptyFile("../x"))).find("climbs out"),
              std::string::npos);
}

TEST_F(TreeManifest, RefusesPathsUnderLinksFilesOrUnrecordedDirectories) {
    EXPECT_NE(refused(manifestWith(directory("t") + "," + link("t/l") + "," + emptyFile("t/l/x")))
                  .find("would pass through the symbolic link"),
              std::string::npos);
    EXPECT_NE(
        refused(manifestWith(directory("t") + "," + emptyFile("t/f") + "," + emptyFile("t/f/x")))
            .find("which is not a directory"),
        std::string::npos);
    EXPECT_NE(refused(manifestWith(emptyFile("d/f"))).find("is not recorded before it"),
              std::string::npos);
    EXPECT_NE(refused(manifestWith(directory("t") + "," + directory("t"))).find("is named twice"),
              std::string::npos);
}

TEST_F(TreeManifest, RefusesSparseSharesOutOfOrderOrShort) {
    // Stream 2's share listed before stream 1's.
    const std::string twoShares =
        R"({"name": "t/x", "kind": "file", "mode": 420, "size": 2, "sha256": ")" + kDigest +
        R"(", "streams": [{"stream": 2, "trellanId": 5, "groupNumber": 2, "afileId": 2, "sourceOffset": 0, "seekOffset": 0, "size": 1, "sha256": ")" +
        kDigest +
        R"("}, {"stream": 1, "trellanId": 5, "groupNumber": 1, "afileId": 1, "sourceOffset": 1, "seekOffset": 0, "size": 1, "sha256": ")" +
        kDigest + R"("}]})";
    EXPECT_NE(refused(manifestWith(directory("t") + "," + twoShares)).find("out of order"),
              std::string::npos);
    EXPECT_NE(refused(manifestWith(directory("t") + "," + wholeFile("t/x", 1, 0, 5, 6)))
                  .find("the streams hold 5 bytes, the source 6"),
              std::string::npos);
    // A whole file whose share does not follow the stream's previous one.
    EXPECT_NE(refused(manifestWith(directory("t") + "," + wholeFile("t/x", 1, 0, 5) + "," +
                                   wholeFile("t/y", 1, 4, 5)))
                  .find("does not follow"),
              std::string::npos);
}

class TreeOutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = freshDirectory("tree-output");
        m_out = m_dir + "/out";
        m_elsewhere = m_dir + "/elsewhere";
        std::filesystem::create_directories(m_out);
        std::filesystem::create_directories(m_elsewhere);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    static TreeOutputEntry dir(const std::string& path) {
        TreeOutputEntry e;
        e.kind = TreeOutputEntry::Kind::Directory;
        e.path = path;
        e.mode = 0500;
        return e;
    }
    static TreeOutputEntry file(const std::string& path) {
        TreeOutputEntry e;
        e.path = path;
        e.mode = 0444;
        e.size = 2;  // an empty file would be made by prepare()
        return e;
    }
    std::size_t entriesIn(const std::string& path) {
        std::size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            (void)entry;
            ++n;
        }
        return n;
    }

    std::string m_dir, m_out, m_elsewhere;
};

TEST_F(TreeOutputTest, RefusesAPathThroughALinkPlantedInTheOutput) {
    std::filesystem::create_directory_symlink(m_elsewhere, m_out + "/d");
    const auto [message, code] = thrown([&] {
        TreeOutput tree(m_out, {dir("d"), file("d/f")}, {});
        tree.prepare();
    });
    EXPECT_EQ(code, 2);
    EXPECT_NE(message.find("is a symbolic link"), std::string::npos) << message;
    EXPECT_EQ(entriesIn(m_elsewhere), 0u);
    EXPECT_EQ(entriesIn(m_out), 1u);  // the link alone
}

TEST_F(TreeOutputTest, RefusesALinkDeeperDownAndAFileInTheWay) {
    std::filesystem::create_directories(m_out + "/a/b");
    std::filesystem::create_directory_symlink(m_elsewhere, m_out + "/a/b/c");
    EXPECT_EQ(thrown([&] {
                  TreeOutput(m_out, {dir("a"), dir("a/b"), dir("a/b/c")}, {});
              }).second,
              2);
    std::ofstream(m_out + "/a/f") << "x";
    EXPECT_NE(thrown([&] {
                  TreeOutput(m_out, {dir("a"), file("a/f")}, {});
              }).first.find("already exists"),
              std::string::npos);
    EXPECT_NE(thrown([&] {
                  TreeOutput(m_out, {dir("a"), dir("a/f")}, {});
              }).first.find("not a directory"),
              std::string::npos);
    EXPECT_EQ(entriesIn(m_elsewhere), 0u);
}

TEST_F(TreeOutputTest, NothingAppearsBeforeCommitAndAReadOnlyDirectoryIsFilled) {
    {
        TreeOutput tree(m_out, {dir("t"), dir("t/ro"), file("t/ro/f")}, {});
        tree.prepare();
        const int fd = tree.openFile(2);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "hi", 2), 2);
        tree.finishFile(2, fd);
        EXPECT_FALSE(std::filesystem::exists(m_out + "/t"));
        tree.commit();
    }
    struct stat info;
    ASSERT_EQ(::lstat((m_out + "/t/ro").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0500u);
    ASSERT_EQ(::lstat((m_out + "/t/ro/f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0444u);
    EXPECT_EQ(info.st_size, 2);
    EXPECT_EQ(entriesIn(m_out), 1u);  // no hidden directory left
    ::chmod((m_out + "/t/ro").c_str(), 0700);
    ::chmod((m_out + "/t").c_str(), 0700);
}

TEST_F(TreeOutputTest, WithoutACommitNothingIsLeft) {
    {
        TreeOutput tree(m_out, {dir("t"), file("t/f")}, {});
        tree.prepare();
        const int fd = tree.openFile(1);
        ::close(fd);
    }
    EXPECT_EQ(entriesIn(m_out), 0u);
}

TEST_F(TreeOutputTest, MergesIntoAnExistingDirectory) {
    std::filesystem::create_directories(m_out + "/t");
    std::ofstream(m_out + "/t/old") << "x";
    {
        TreeOutput tree(m_out, {dir("t"), file("t/new")}, {});
        tree.prepare();
        tree.finishFile(1, tree.openFile(1));
        tree.commit();
    }
    EXPECT_TRUE(std::filesystem::exists(m_out + "/t/old"));
    EXPECT_TRUE(std::filesystem::exists(m_out + "/t/new"));
    struct stat info;
    ASSERT_EQ(::lstat((m_out + "/t").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0755u);  // an existing directory is left as it was
}

}  // namespace
