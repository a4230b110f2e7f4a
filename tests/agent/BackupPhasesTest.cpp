// A backup's phases that need no store: the set checked and walked, what a
// store without a host folder refuses, the key options, the manifest's
// format, and what the backup says and adds to --json.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "base/Console.h"
#include "jobs/backup/BackupKeys.h"
#include "jobs/backup/BackupManifest.h"
#include "jobs/backup/BackupReport.h"
#include "jobs/backup/BackupSet.h"
#include "stages/DataKeyWrap.h"

namespace {

constexpr int kBadInput = 2;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// A file that starts with SQLite's 16-byte header: what the agent takes for a
// database.
void writeSqliteHeader(const std::string& path) {
    writeFile(path, std::string("SQLite format 3\0", 16) + std::string(84, '\0'));
}

// Options for a set of files in dir, with a manifest path free in it.
BackupOptions optionsIn(const std::string& dir, std::vector<std::string> inputs) {
    BackupOptions options;
    options.inputs = std::move(inputs);
    options.manifest = dir + "/backup.json";
    return options;
}

// Where no store is: checkBackupSet needs only the name.
std::string noStore(const std::string& dir) { return dir + "/no-store"; }

// ---- the set ----------------------------------------------------------

TEST(BackupSetChecks, RefusesStreamCountsTheLibraryCannotTake) {
    const std::string dir = freshDirectory("phases-streams");
    writeFile(dir + "/a", "a");
    for (const unsigned long streams : {0UL, 66UL}) {
        BackupOptions options = optionsIn(dir, {dir + "/a"});
        options.streams = streams;
        EXPECT_EQ(thrown([&] { checkBackupSet(options, noStore(dir)); }),
                  std::make_pair("--streams must be from 1 to 65, not " + std::to_string(streams),
                                 kBadInput));
    }
    BackupOptions options = optionsIn(dir, {dir + "/a"});
    options.streams = 65;
    EXPECT_NO_THROW(checkBackupSet(options, noStore(dir)));
}

TEST(BackupSetChecks, RefusesAnEmptySetAndTwoInputsOfOneName) {
    const std::string dir = freshDirectory("phases-names");
    std::filesystem::create_directories(dir + "/one");
    std::filesystem::create_directories(dir + "/two/data");
    writeFile(dir + "/one/data", "1");
    writeFile(dir + "/two/x", "2");
    EXPECT_EQ(thrown([&] { checkBackupSet(optionsIn(dir, {}), noStore(dir)); }),
              std::make_pair(std::string("name at least one file to back up"), kBadInput));
    // A file and a tree of one name would restore to one place.
    const BackupOptions clash = optionsIn(dir, {dir + "/one/data", dir + "/two/data"});
    EXPECT_EQ(thrown([&] { checkBackupSet(clash, noStore(dir)); }),
              std::make_pair(std::string("two inputs are named data; the files and trees of a "
                                         "set need distinct names"),
                             kBadInput));
}

TEST(BackupSetChecks, RefusesATraceThatIsTheManifest) {
    const std::string dir = freshDirectory("phases-trace");
    writeFile(dir + "/a", "a");
    BackupOptions options = optionsIn(dir, {dir + "/a"});
    options.trace = dir + "/./backup.json";
    EXPECT_EQ(thrown([&] { checkBackupSet(options, noStore(dir)); }),
              std::make_pair("the trace and the manifest cannot both be " + options.trace,
                             kBadInput));
}

TEST(BackupSetChecks, RefusesASqliteDatabasesCompanionsUnlessRaw) {
    const std::string dir = freshDirectory("phases-wal");
    writeSqliteHeader(dir + "/app.db");
    writeFile(dir + "/app.db-wal", "wal");
    BackupOptions options = optionsIn(dir, {dir + "/app.db", dir + "/app.db-wal"});
    EXPECT_EQ(thrown([&] { checkBackupSet(options, noStore(dir)); }),
              std::make_pair(dir + "/app.db-wal belongs to the SQLite database " + dir +
                                 "/app.db, which is backed up as a consistent snapshot of its "
                                 "own; leave " +
                                 dir + "/app.db-wal out, or give --raw",
                             kBadInput));
    options.raw = true;
    EXPECT_EQ(checkBackupSet(options, noStore(dir)).inputs.size(), 2u);
}

TEST(BackupSetChecks, EntriesKeepTheSetsOrderAndIndexWhatTheStreamsRead) {
    const std::string dir = freshDirectory("phases-entries");
    writeFile(dir + "/first", "11");
    std::filesystem::create_directories(dir + "/tree/sub");
    writeFile(dir + "/tree/sub/x", "xxx");
    writeFile(dir + "/tree/y", "yyyy");
    ASSERT_EQ(::symlink("y", (dir + "/tree/link").c_str()), 0);
    writeFile(dir + "/last", "5");
    const BackupSet set =
        checkBackupSet(optionsIn(dir, {dir + "/first", dir + "/tree", dir + "/last"}),
                       noStore(dir));

    struct Expected {
        std::string name;
        ManifestFile::Kind kind;
        std::size_t named, tree, read;
    };
    constexpr std::size_t none = SIZE_MAX;
    const std::vector<Expected> expected = {
        {"first", ManifestFile::Kind::File, 0, none, 0},
        {"tree", ManifestFile::Kind::Directory, none, none, none},
        {"tree/link", ManifestFile::Kind::Symlink, none, none, none},
        {"tree/sub", ManifestFile::Kind::Directory, none, none, none},
        {"tree/sub/x", ManifestFile::Kind::File, none, 0, 1},
        {"tree/y", ManifestFile::Kind::File, none, 1, 2},
        {"last", ManifestFile::Kind::File, 1, none, 3},
    };
    ASSERT_EQ(set.entries.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const SetEntry& entry = set.entries[i];
        EXPECT_EQ(entry.name, expected[i].name) << i;
        EXPECT_EQ(entry.kind, expected[i].kind) << i;
        EXPECT_EQ(entry.named, expected[i].named) << i;
        EXPECT_EQ(entry.tree, expected[i].tree) << i;
        EXPECT_EQ(entry.read, expected[i].read) << i;
    }
    EXPECT_EQ(set.entries[2].target, "y");
    EXPECT_EQ(set.fileCount, 4u);
    EXPECT_EQ(set.trees, 1u);
    ASSERT_EQ(set.inputs.size(), 2u);
    EXPECT_EQ(set.inputs[1]->size(), 1u);
    ASSERT_EQ(set.treeInputs.size(), 2u);
    EXPECT_EQ(set.treeInputs[1]->size(), 4u);
}

TEST(BackupSetChecks, LeavesOutAStoreInsideATree) {
    const std::string dir = freshDirectory("phases-store-inside");
    std::filesystem::create_directories(dir + "/tree/store/files");
    writeFile(dir + "/tree/store/store.ini", "");
    writeFile(dir + "/tree/kept", "k");
    BackupOptions options = optionsIn(dir, {dir + "/tree"});
    const BackupSet set = checkBackupSet(options, dir + "/tree/store");
    std::vector<std::string> names;
    for (const SetEntry& entry : set.entries) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"tree", "tree/kept"}));
}

// ---- keys and the manifest's format ------------------------------------

TEST(BackupKeys, KeyFileOnlyWithEncrypt) {
    BackupOptions options;
    options.key.keyFile = "/nonexistent/key";
    EXPECT_EQ(thrown([&] { readBackupKey(options); }),
              std::make_pair(std::string("--key-file is for --encrypt"), kBadInput));
    options.key.keyFile.clear();
    EXPECT_FALSE(readBackupKey(options).has_value());
}

TEST(BackupManifestFormat, FollowsTheSetAndTheStages) {
    BackupOptions options;
    const BackupKeys plain = settleBackupKeys(options, 7, std::nullopt);
    EXPECT_FALSE(plain.stages.has_value());
    EXPECT_EQ(newManifest(7, false, plain).version, 2);
    EXPECT_EQ(newManifest(7, true, plain).version, 3);
    EXPECT_FALSE(newManifest(7, true, plain).stages.framed);

    options.compress.codec = Codec::Zstd;
    options.compress.level = 5;
    const BackupKeys compressed = settleBackupKeys(options, 7, std::nullopt);
    ASSERT_TRUE(compressed.stages.has_value());
    EXPECT_EQ(compressed.stages->jobId, 7u);  // binds every frame to the job
    EXPECT_FALSE(compressed.stages->key.has_value());
    const Manifest manifest = newManifest(7, false, compressed);
    EXPECT_EQ(manifest.version, 4);
    EXPECT_EQ(manifest.jobId, 7u);
    EXPECT_TRUE(manifest.stages.framed);
    EXPECT_EQ(manifest.stages.codec, Codec::Zstd);
    EXPECT_EQ(manifest.stages.level, 5);
    EXPECT_EQ(manifest.stages.frameSize, compressed.stages->frameSize);
    EXPECT_EQ(manifest.stages.wrappedKey, "");
    EXPECT_EQ(manifest.createdAt.size(), std::string("2000-01-01T00:00:00Z").size());
}

// ---- what the backup says and shows ------------------------------------

TEST(BackupReport, DescribesTheSetAsTheFirstLineSaysIt) {
    const std::string dir = freshDirectory("phases-describe");
    writeFile(dir + "/a", "aa");
    writeFile(dir + "/b", "bbb");
    std::filesystem::create_directories(dir + "/t");
    writeFile(dir + "/t/c", "c");

    const BackupOptions one = optionsIn(dir, {dir + "/a"});
    EXPECT_EQ(describeSet(one, checkBackupSet(one, noStore(dir)), 1, 2),
              dir + "/a (2 bytes)");
    const BackupOptions two = optionsIn(dir, {dir + "/a", dir + "/b"});
    EXPECT_EQ(describeSet(two, checkBackupSet(two, noStore(dir)), 2, 5), "2 files (5 bytes)");
    const BackupOptions tree = optionsIn(dir, {dir + "/t"});
    EXPECT_EQ(describeSet(tree, checkBackupSet(tree, noStore(dir)), 1, 1),
              dir + "/t: 1 files (1 bytes)");
    const BackupOptions mixed = optionsIn(dir, {dir + "/a", dir + "/t"});
    EXPECT_EQ(describeSet(mixed, checkBackupSet(mixed, noStore(dir)), 2, 3),
              "2 inputs: 2 files (3 bytes)");

    // A stream input, beside files or alone (its set made here: a source
    // of standard input is checked against the real one).
    BackupOptions piped = two;
    piped.pipe.command = "pg_dump db";
    piped.pipe.name = "db.sql";
    const BackupSet files = checkBackupSet(two, noStore(dir));
    EXPECT_EQ(describeSet(piped, files, 2, 5),
              "2 files (5 bytes) and db.sql (the producer's output)");
    piped.inputs.clear();
    piped.pipe.command.clear();
    piped.pipe.standardInput = true;
    EXPECT_EQ(describeSet(piped, BackupSet{}, 0, 0), "db.sql (standard input)");
}

Manifest sampleManifest() {
    Manifest manifest;
    ManifestFile directory;
    directory.name = "t";
    directory.kind = ManifestFile::Kind::Directory;
    directory.mode = 0755;
    ManifestFile link;
    link.name = "t/l";
    link.kind = ManifestFile::Kind::Symlink;
    link.mode = -1;
    link.target = "f";
    ManifestFile file;
    file.name = "t/f";
    file.size = 12;
    file.mode = 0640;
    file.sha256 = "ab12";
    manifest.files = {directory, link, file};
    manifest.archives = {{1, 10, 20, 30}, {2, 11, 21, 31}};
    return manifest;
}

TEST(BackupReport, JsonHoldsTheFilesArchivesAndOnlyTheStagesAndSnapshotsThereAre) {
    const Manifest manifest = sampleManifest();
    const std::vector<uint64_t> written = {100, 23};
    EXPECT_EQ(backupResultJson(manifest, 12, 1.23456, std::nullopt, written,
                               nlohmann::ordered_json::array())
                  .dump(),
              R"({"files":[{"name":"t","kind":"directory","mode":493},)"
              R"({"name":"t/l","kind":"symlink","target":"f"},)"
              R"({"name":"t/f","size":12,"mode":416,"sha256":"ab12"}],)"
              R"("bytes":12,"seconds":1.235,"archiveFiles":[)"
              R"({"stream":1,"trellanId":10,"groupNumber":20,"afileId":30,"size":100},)"
              R"({"stream":2,"trellanId":11,"groupNumber":21,"afileId":31,"size":23}]})");

    JobStages stages;
    stages.codec = Codec::Lz4;
    stages.key = newDataKey();
    const nlohmann::ordered_json snapshots = {{{"name", "app.db"}, {"bytes", 4096}}};
    const nlohmann::ordered_json result =
        backupResultJson(manifest, 12, 2.0, stages, written, snapshots);
    std::vector<std::string> keys;
    for (const auto& field : result.items()) keys.push_back(field.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"files", "bytes", "seconds", "archiveFiles",
                                              "storedBytes", "compress", "encrypted",
                                              "sqliteSnapshots"}));
    EXPECT_EQ(result["storedBytes"], 123);
    EXPECT_EQ(result["compress"], "lz4");
    EXPECT_EQ(result["encrypted"], true);
    EXPECT_EQ(result["sqliteSnapshots"], snapshots);
}

TEST(BackupReport, SaysTheCompleteLineWithWhatWasStored) {
    progressShown() = true;
    testing::internal::CaptureStderr();
    sayBackupComplete("m.json", 3 << 20, 2.0, std::nullopt, {1, 2});
    JobStages stages;
    stages.codec = Codec::Zstd;
    sayBackupComplete("m.json", 3 << 20, 2.0, stages, {1024, 512});
    stages.key = newDataKey();
    sayBackupComplete("m.json", 0, 0.0, stages, {0});
    sayBackupStarts("2 files (5 bytes)", 1, 42, "/var/store");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "pipeline-agent: backup complete: manifest m.json (3.0 MiB in 2.0 s, 1.5 MiB/s)\n"
              "pipeline-agent: backup complete: manifest m.json (3.0 MiB in 2.0 s, 1.5 MiB/s; "
              "stored 1.5 KiB, zstd)\n"
              "pipeline-agent: backup complete: manifest m.json (0 B in 0.0 s, 0 B/s; stored "
              "0 B, zstd, encrypted)\n"
              "pipeline-agent: backing up 2 files (5 bytes) over 1 stream as job 42 into "
              "/var/store\n"
              "pipeline-agent: setting up 1 stream; each pauses 2 s after its archive file is "
              "created, while the streams set up before it write\n");
}

}  // namespace
