// The restore targets a restore writes through: where each finds the trace's
// place.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "AgentTestSupport.h"
#include "jobs/restore/FilesTarget.h"
#include "jobs/restore/TreeTarget.h"

namespace {

namespace fs = std::filesystem;

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

}  // namespace
