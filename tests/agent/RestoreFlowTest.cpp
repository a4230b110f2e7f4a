// The restore targets a restore writes through: where each finds the trace's
// place, what each leaves behind when a read fails, and what each shows of
// the same file once committed. No store: a request whose streams were not
// opened fails the read the way any failed stream does.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "base/Sha256.h"
#include "jobs/restore/FilesTarget.h"
#include "jobs/restore/StandardOutputTarget.h"
#include "jobs/restore/TreeTarget.h"

namespace {

namespace fs = std::filesystem;

const std::string kEmptySha256 =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// A set on three streams (trellan 7, archive file k of group k on stream k).
Manifest threeStreams(int version) {
    Manifest manifest;
    manifest.version = version;
    manifest.jobId = 42;
    for (unsigned long k = 1; k <= 3; ++k) {
        manifest.archives.push_back({k, 7, static_cast<uint32_t>(k), static_cast<uint32_t>(k)});
    }
    return manifest;
}

// A file of size bytes, a third of it on each stream.
ManifestFile fileOf(const Manifest& manifest, const std::string& name, uint64_t size) {
    ManifestFile file;
    file.name = name;
    file.size = size;
    file.mode = 0640;
    file.sha256 = std::string(64, 'a');
    for (const ManifestArchive& archive : manifest.archives) {
        ManifestShare share;
        share.archive = archive;
        share.size = size / 3;
        share.sourceOffset = (archive.stream - 1) * share.size;
        share.seekOffset = 1000;
        share.sha256 = std::string(64, 'b');
        file.shares.push_back(share);
    }
    return file;
}

// A stream input of one stripe, all of it on stream 1.
ManifestFile streamOf(const Manifest& manifest, const std::string& name) {
    ManifestFile input = fileOf(manifest, name, 300);
    input.kind = ManifestFile::Kind::Stream;
    input.mode = 0600;
    input.stripeUnit = 1 << 20;
    input.stripes = {std::string(64, 'c')};
    for (ManifestShare& share : input.shares) share.size = 0;
    input.shares[0].size = 300;
    return input;
}

ManifestFile entryOf(const std::string& name, ManifestFile::Kind kind, int mode) {
    ManifestFile entry;
    entry.name = name;
    entry.kind = kind;
    entry.mode = mode;
    return entry;
}

RestoreOptions optionsFor(const std::string& output) {
    RestoreOptions options;
    options.manifest = "m.json";
    options.output = output;
    return options;
}

// The names in directory, hidden ones included.
std::set<std::string> namesIn(const std::string& directory) {
    std::set<std::string> names;
    if (!fs::exists(directory)) return names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Request r of target, read over a request whose streams were not opened.
std::pair<std::string, int> failedRead(RestoreTarget& target, std::size_t r) {
    const RequestStreams none({}, nullptr, nullptr);
    return thrown([&] { target.readRequest(r, none); });
}

// A tree and a stream input: src/, src/a.bin (300 bytes over three
// streams), src/l -> a.bin, and dump.sql.
Manifest treeSet() {
    Manifest manifest = threeStreams(3);
    manifest.files.push_back(entryOf("src", ManifestFile::Kind::Directory, 0750));
    manifest.files.push_back(fileOf(manifest, "src/a.bin", 300));
    ManifestFile link = entryOf("src/l", ManifestFile::Kind::Symlink, -1);
    link.target = "a.bin";
    manifest.files.push_back(link);
    manifest.files.push_back(streamOf(manifest, "dump.sql"));
    return manifest;
}

// Files without a tree: a.bin and dump.sql.
Manifest fileSet() {
    Manifest manifest = threeStreams(3);
    manifest.files.push_back(fileOf(manifest, "a.bin", 300));
    manifest.files.push_back(streamOf(manifest, "dump.sql"));
    return manifest;
}

TEST(RestoreTargetTrace, EachTargetFindsItsOutputsAtTheTracesPlaceHoweverSpelt) {
    const std::string dir = freshDirectory("restore-flow-trace");
    fs::create_directories(dir + "/files");
    fs::create_directories(dir + "/tree");
    // The same directories reached through a link: no spelling of the path
    // passes for another place.
    fs::create_directory_symlink(dir + "/files", dir + "/files-link");
    fs::create_directory_symlink(dir + "/tree", dir + "/tree-link");

    const Manifest plain = fileSet();
    const FilesTarget files(optionsFor(dir + "/files"), plain);
    EXPECT_TRUE(files.writesAt(dir + "/files/a.bin"));
    EXPECT_TRUE(files.writesAt(dir + "/files-link/dump.sql"));
    EXPECT_TRUE(files.writesAt(dir + "/files/../files/a.bin"));
    EXPECT_FALSE(files.writesAt(dir + "/files/trace.json"));
    EXPECT_FALSE(files.writesAt(dir + "/tree/a.bin"));

    const Manifest tree = treeSet();
    const TreeTarget treeTarget(optionsFor(dir + "/tree"), tree);
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree/src/a.bin"));
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree/src"));
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree/src/l"));
    // A stream input of the tree's set is an output of it too.
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree/dump.sql"));
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree-link/dump.sql"));
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree-link/src/a.bin"));
    EXPECT_TRUE(treeTarget.writesAt(dir + "/tree-link/src"));
    EXPECT_FALSE(treeTarget.writesAt(dir + "/tree/trace.json"));
    EXPECT_FALSE(treeTarget.writesAt(dir + "/tree/src/trace.json"));
    EXPECT_FALSE(treeTarget.writesAt(dir + "/files/src/a.bin"));
}

// A read that fails leaves the output directory as it was and no record of a
// partial output, whichever target wrote; every target names the failure
// in the same words, for a file and for a stream input.
TEST(RestoreTargetFailure, EveryTargetFailsAlikeAndLeavesNothing) {
    const std::string dir = freshDirectory("restore-flow-failure");
    const std::string records = dir + "/records";
    const std::string unopened = "stream 1, archive file 7-1-1 was not opened by the restore request";
    const std::pair<std::string, int> failure{unopened, 1};  // a failed job

    fs::create_directories(dir + "/files");
    writeFile(dir + "/files/other", "other");
    {
        const Manifest plain = fileSet();
        FilesTarget files(optionsFor(dir + "/files"), plain);
        files.examinePlaces();
        files.open(records);
        files.prepare();
        EXPECT_EQ(failedRead(files, 0), failure);
        EXPECT_EQ(failedRead(files, 1), failure);
        // What open made is gone once closed, before the job's hold would be.
        files.close();
        EXPECT_EQ(namesIn(dir + "/files"), std::set<std::string>{"other"});
        EXPECT_TRUE(namesIn(records).empty());
    }

    fs::create_directories(dir + "/tree");
    writeFile(dir + "/tree/other", "other");
    {
        const Manifest tree = treeSet();
        TreeTarget treeTarget(optionsFor(dir + "/tree"), tree);
        treeTarget.examinePlaces();
        treeTarget.open(records);
        treeTarget.prepare();
        // The hidden directory is recorded before anything is written in it.
        const std::set<std::string> names = namesIn(dir + "/tree");
        EXPECT_EQ(std::count_if(names.begin(), names.end(),
                                [](const std::string& name) {
                                    return name.rfind(".restore.partial-", 0) == 0;
                                }),
                  1);
        EXPECT_FALSE(namesIn(records).empty());
        ASSERT_EQ(treeTarget.requestCount(), 2u);  // the run of src/a.bin, then dump.sql
        EXPECT_EQ(failedRead(treeTarget, 0), failure);
        EXPECT_EQ(failedRead(treeTarget, 1), failure);
        treeTarget.close();
    }
    EXPECT_EQ(namesIn(dir + "/tree"), std::set<std::string>{"other"});
    EXPECT_TRUE(namesIn(records).empty());

    if (::isatty(STDOUT_FILENO)) GTEST_SKIP() << "standard output is a terminal";
    const Manifest plain = fileSet();
    RestoreOptions toStdout = optionsFor("-");
    toStdout.file = "dump.sql";
    StandardOutputTarget standardOutput(toStdout, plain, false);
    EXPECT_EQ(failedRead(standardOutput, 0), failure);
}

// Hidden named files, and files put in place over old ones (--force): while
// the outputs are open each hidden one is recorded; a failure removes them
// and their records and leaves every old file as it was.
TEST(RestoreTargetFailure, HiddenAndReplacedOutputsAreUndone) {
    const std::string dir = freshDirectory("restore-flow-hidden");
    const std::string records = dir + "/records";
    fs::create_directories(dir + "/files");
    writeFile(dir + "/files/a.bin", "old a");
    writeFile(dir + "/files/dump.sql", "old dump");
    {
        const Manifest plain = fileSet();
        RestoreOptions options = optionsFor(dir + "/files");
        options.namedTemporary = true;
        options.replace = true;
        FilesTarget files(options, plain);
        files.examinePlaces();
        files.open(records);
        EXPECT_EQ(namesIn(dir + "/files").size(), 4u);  // two old, two hidden
        EXPECT_EQ(namesIn(records).size(), 2u);
        EXPECT_EQ(failedRead(files, 0).second, 1);
        files.close();
        EXPECT_EQ(namesIn(dir + "/files"), (std::set<std::string>{"a.bin", "dump.sql"}));
        EXPECT_EQ(contentOf(dir + "/files/a.bin"), "old a");
        EXPECT_EQ(contentOf(dir + "/files/dump.sql"), "old dump");
        EXPECT_TRUE(namesIn(records).empty());
    }

    fs::create_directories(dir + "/tree/src");
    writeFile(dir + "/tree/src/a.bin", "old a");
    writeFile(dir + "/tree/dump.sql", "old dump");
    {
        const Manifest tree = treeSet();
        RestoreOptions options = optionsFor(dir + "/tree");
        options.replace = true;
        TreeTarget treeTarget(options, tree);
        treeTarget.examinePlaces();
        treeTarget.open(records);
        treeTarget.prepare();
        EXPECT_EQ(failedRead(treeTarget, 0).second, 1);
        treeTarget.close();
    }
    EXPECT_EQ(namesIn(dir + "/tree"), (std::set<std::string>{"src", "dump.sql"}));
    EXPECT_EQ(namesIn(dir + "/tree/src"), std::set<std::string>{"a.bin"});
    EXPECT_EQ(contentOf(dir + "/tree/src/a.bin"), "old a");
    EXPECT_EQ(contentOf(dir + "/tree/dump.sql"), "old dump");
    EXPECT_TRUE(namesIn(records).empty());
}

// An empty file (no data, so no stream is read) restored by the files target
// and inside a tree: the same file on disk, and --json shows it with the
// same fields in the same order.
TEST(RestoreTargetCommit, AFileAppearsAndIsShownAlikeByEachTarget) {
    const std::string dir = freshDirectory("restore-flow-commit");
    fs::create_directories(dir + "/files");
    fs::create_directories(dir + "/tree");
    ManifestFile empty = entryOf("e.bin", ManifestFile::Kind::File, 0640);
    empty.sha256 = kEmptySha256;

    Manifest plain = threeStreams(3);
    plain.files.push_back(empty);
    FilesTarget files(optionsFor(dir + "/files"), plain);
    files.examinePlaces();
    files.open("");
    files.prepare();
    ASSERT_EQ(files.requestCount(), 1u);
    files.readRequest(0, RequestStreams({}, nullptr, nullptr));
    const nlohmann::ordered_json shownByFiles = files.commit();
    files.close();

    Manifest tree = threeStreams(3);
    tree.files.push_back(entryOf("d", ManifestFile::Kind::Directory, 0750));
    empty.name = "d/e.bin";
    tree.files.push_back(empty);
    TreeTarget treeTarget(optionsFor(dir + "/tree"), tree);
    treeTarget.examinePlaces();
    treeTarget.open("");
    treeTarget.prepare();
    ASSERT_EQ(treeTarget.requestCount(), 0u);
    const nlohmann::ordered_json shownByTree = treeTarget.commit();
    treeTarget.close();

    struct stat info {};
    ASSERT_EQ(::stat((dir + "/files/e.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_size, 0);
    ASSERT_EQ(::stat((dir + "/tree/d/e.bin").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(namesIn(dir + "/files"), std::set<std::string>{"e.bin"});
    EXPECT_EQ(namesIn(dir + "/tree"), std::set<std::string>{"d"});

    EXPECT_EQ(shownByFiles.dump(),
              "[{\"name\":\"e.bin\",\"path\":\"" + dir + "/files/e.bin\",\"size\":0,\"mode\":416,"
              "\"sha256\":\"" + kEmptySha256 + "\",\"verified\":true}]");
    EXPECT_EQ(shownByTree.dump(),
              "[{\"name\":\"d\",\"path\":\"" + dir + "/tree/d\",\"kind\":\"directory\",\"mode\":488},"
              "{\"name\":\"d/e.bin\",\"path\":\"" + dir + "/tree/d/e.bin\",\"size\":0,\"mode\":416,"
              "\"sha256\":\"" + kEmptySha256 + "\",\"verified\":true}]");
}

}  // namespace
