// The whole file's digest a restore takes in file order while its parts are
// written side by side, and the checks of names before any work.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "AgentTestSupport.h"
#include "base/AgentError.h"
#include "base/JoinedThreads.h"
#include "base/Names.h"
#include "base/Nearest.h"
#include "base/Sha256.h"
#include "manifest/Manifest.h"
#include "manifest/PartsDigest.h"
#include "streams/FileDigest.h"

namespace {

std::string digestOf(const std::string& bytes) {
    Sha256 digest;
    digest.update(bytes.data(), bytes.size());
    return digest.hex();
}

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    return bytes;
}

// An output in memory that parts are written into; reads back what is there.
struct MemoryOutput {
    explicit MemoryOutput(std::size_t size) : bytes(size, '\0') {}
    std::string bytes;
    uint64_t readBack = 0;
    std::mutex mutex;
    FileDigest::ReadBack reader() {
        return [this](void* buffer, std::size_t length, uint64_t offset) {
            std::lock_guard<std::mutex> lock(mutex);
            ASSERT_LE(offset + length, bytes.size());
            std::memcpy(buffer, bytes.data() + offset, length);
            readBack += length;
        };
    }
    void write(const std::string& source, uint64_t offset, std::size_t length) {
        std::lock_guard<std::mutex> lock(mutex);
        std::memcpy(bytes.data() + offset, source.data() + offset, length);
    }
};

// Writes part `part` ([start, start + size) of source) in chunks of `chunk`
// bytes and tells the digest after each.
void writePart(MemoryOutput& output, FileDigest& digest, const std::string& source,
               std::size_t part, uint64_t start, uint64_t size, std::size_t chunk) {
    for (uint64_t done = 0; done < size;) {
        const std::size_t length = static_cast<std::size_t>(std::min<uint64_t>(chunk, size - done));
        output.write(source, start + done, length);
        digest.written(part, source.data() + start + done, length);
        done += length;
    }
}

TEST(FileDigest, PartsInFileOrderHashFromMemoryWithoutReadingBack) {
    const std::string source = pattern(10000);
    MemoryOutput output(source.size());
    FileDigest digest({3000, 0, 7000}, output.reader());
    writePart(output, digest, source, 0, 0, 3000, 700);
    writePart(output, digest, source, 2, 3000, 7000, 1000);
    EXPECT_EQ(digest.finish(), digestOf(source));
    EXPECT_EQ(digest.readBackBytes(), 0u);
    EXPECT_EQ(output.readBack, 0u);
}

TEST(FileDigest, APartFinishedBeforeItsTurnIsReadBackOnceAndOnlyIt) {
    const std::string source = pattern(9000);
    MemoryOutput output(source.size());
    FileDigest digest({2000, 3000, 4000}, output.reader());
    // The last part is written whole first, then half of the second, then
    // the first: the first is hashed from memory, the third and the
    // second's first half are read back, the rest of the second from memory.
    writePart(output, digest, source, 2, 5000, 4000, 1000);
    writePart(output, digest, source, 1, 2000, 1500, 500);
    EXPECT_EQ(digest.readBackBytes(), 0u);  // nothing could be hashed yet
    writePart(output, digest, source, 0, 0, 2000, 2000);
    EXPECT_EQ(digest.readBackBytes(), 1500u);  // the second part's half, in turn
    writePart(output, digest, source, 1, 3500, 1500, 500);
    // The second part's end came from memory; the third then read back.
    EXPECT_EQ(digest.readBackBytes(), 1500u + 4000u);
    EXPECT_EQ(digest.finish(), digestOf(source));
    EXPECT_EQ(output.readBack, 5500u);
}

TEST(FileDigest, ThreadsWritingSideBySideGiveTheFileDigest) {
    const std::string source = pattern(1 << 20);
    for (int round = 0; round < 20; ++round) {
        MemoryOutput output(source.size());
        const std::vector<uint64_t> sizes = {262144, 262143, 262145, 262144};
        FileDigest digest(sizes, output.reader());
        std::vector<std::thread> threads;
        uint64_t start = 0;
        for (std::size_t part = 0; part < sizes.size(); ++part) {
            threads.emplace_back([&, part, start] {
                writePart(output, digest, source, part, start, sizes[part], 4096 + part * 1000);
            });
            start += sizes[part];
        }
        for (std::thread& thread : threads) thread.join();
        ASSERT_EQ(digest.finish(), digestOf(source)) << "round " << round;
    }
}

// source split over three streams, the middle one holding nothing, as this
// release records it: its parts' digest ties its shares to it.
ManifestFile splitFile(const std::string& source) {
    ManifestFile file;
    file.name = "db.bin";
    file.size = source.size();
    file.sha256 = digestOf(source);
    uint64_t at = 0;
    for (const uint64_t size : {uint64_t{1000}, uint64_t{0}, source.size() - 1000}) {
        ManifestShare share;
        share.sourceOffset = at;
        share.size = size;
        share.sha256 = digestOf(source.substr(at, size));
        file.shares.push_back(share);
        at += size;
    }
    file.partsSha256 = partsDigest(file);
    return file;
}

TEST(FileDigest, PartsThatVouchForTheFileAreNeitherReadBackNorHashedAgain) {
    const std::string source = pattern(5000);
    const ManifestFile file = splitFile(source);
    // The last part first: an older manifest, without the parts' digest,
    // has its bytes read back when the first part's turn is over.
    for (const bool older : {false, true}) {
        SCOPED_TRACE(older ? "older" : "this release's");
        ManifestFile recorded = file;
        if (older) recorded.partsSha256.clear();
        MemoryOutput output(source.size());
        FileDigest digest(recorded, output.reader());
        writePart(output, digest, source, 2, 1000, 4000, 1000);
        writePart(output, digest, source, 0, 0, 1000, 1000);
        EXPECT_EQ(digest.finish(), file.sha256);
        EXPECT_EQ(output.readBack, older ? 4000u : 0u);
    }
    // One part that holds every byte vouches for the file without a digest
    // of parts: the file's digest is the one that part records (which its
    // bytes matched before), not one taken from the bytes again, whatever
    // the manifest says of the file.
    ManifestFile whole = splitFile(source);
    whole.partsSha256.clear();
    whole.shares[0].size += whole.shares[2].size;
    whole.shares[0].sha256 = digestOf("the part's recorded digest");
    whole.shares[2].size = 0;
    whole.sha256 = digestOf("another file");
    MemoryOutput output(source.size());
    FileDigest digest(whole, output.reader());
    writePart(output, digest, source, 0, 0, 5000, 2000);
    EXPECT_EQ(digest.finish(), whole.shares[0].sha256);
    EXPECT_EQ(output.readBack, 0u);
}

TEST(FileDigest, PartsThatDoNotGiveTheirRecordedDigestFailTheJob) {
    const std::string source = pattern(3000);
    const std::string line =
        "the checksums the manifest records for db.bin do not agree: its file's and its "
        "parts' checksums do not give the partsSha256 beside them (the manifest was altered)";
    const std::vector<std::function<void(ManifestFile&)>> alterations = {
        [](ManifestFile& f) { f.sha256 = digestOf("another file"); },
        [](ManifestFile& f) { f.shares[2].sha256 = digestOf("another part"); },
        [](ManifestFile& f) { f.partsSha256 = digestOf("another set of parts"); }};
    for (std::size_t i = 0; i < alterations.size(); ++i) {
        SCOPED_TRACE("alteration " + std::to_string(i));
        ManifestFile file = splitFile(source);
        alterations[i](file);
        MemoryOutput output(source.size());
        FileDigest digest(file, output.reader());
        writePart(output, digest, source, 0, 0, 1000, 1000);
        writePart(output, digest, source, 2, 1000, 2000, 1000);
        const auto [message, code] = thrown([&] { digest.finish(); });
        EXPECT_EQ(message, line);
        EXPECT_EQ(code, 1);
    }
}

TEST(FileDigest, AFileNotWrittenWholeHasNoDigest) {
    const std::string source = pattern(300);
    MemoryOutput output(source.size());
    FileDigest digest({100, 200}, output.reader());
    writePart(output, digest, source, 0, 0, 100, 100);
    writePart(output, digest, source, 1, 100, 150, 50);
    const auto [message, code] = thrown([&] { digest.finish(); });
    EXPECT_EQ(message,
              "part 2 of the file was written 150 of 200 bytes; its digest cannot be taken");
    EXPECT_EQ(code, 1);
}

TEST(FileDigest, StripesAreTheStreamInputsParts) {
    ManifestFile input;
    input.kind = ManifestFile::Kind::Stream;
    input.size = 2500;
    input.stripeUnit = 1000;
    EXPECT_EQ(partSizes(input), (std::vector<uint64_t>{1000, 1000, 500}));
    ManifestFile file;
    file.shares.resize(2);
    file.shares[0].size = 7;
    file.shares[1].size = 0;
    EXPECT_EQ(partSizes(file), (std::vector<uint64_t>{7, 0}));
}

TEST(FileDigest, AFileDigestOtherThanTheManifestsFailsTheJobNamingBoth) {
    ManifestFile file;
    file.name = "db.bin";
    file.sha256 = std::string(64, '0');
    const std::string real = digestOf("data");
    const auto [message, code] = thrown([&] { requireFileDigest(file, real); });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(message, "the bytes restored for db.bin have SHA-256 " + real +
                           ", the manifest records " + file.sha256 +
                           "; every part matched its own checksum, so the manifest's file "
                           "checksum does not belong to its parts (the manifest was altered)");
    file.sha256 = real;
    EXPECT_NO_THROW(requireFileDigest(file, real));
}

TEST(Names, LongComponentsAndPathsAreRefusedAsBadInput) {
    const std::string name255(255, 'n');
    EXPECT_NO_THROW(requireUsablePath("/tmp/" + name255, "output"));
    EXPECT_NO_THROW(requireUsableName(name255, "name"));
    const auto [long256, code] =
        thrown([&] { requireUsablePath("out/" + name255 + "x", "output"); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(long256, "output out/" + std::string(36, 'n') + "... has a name of 256 bytes (" +
                           std::string(40, 'n') + "...); names of up to 255 bytes can be used");
    std::string path;
    while (path.size() < 4095) path += "d/";
    path.resize(4095);
    EXPECT_NO_THROW(requireUsablePath(path, "output"));
    const auto [tooLong, code2] = thrown([&] { requireUsablePath(path + "x", "output"); });
    EXPECT_EQ(code2, 2);
    EXPECT_NE(tooLong.find(" is 4096 bytes long; paths of up to 4095 bytes can be used"),
              std::string::npos)
        << tooLong;
    const auto [nul, code3] = thrown([] { requireUsableName(std::string("a\0b", 3), "name"); });
    EXPECT_EQ(nul, "name \"a\" holds a NUL byte, which no file name can hold");
    EXPECT_EQ(code3, 2);
}

TEST(Names, AManifestNameWithANulOrTooLongIsRefusedInEitherFormat) {
    const std::string share =
        R"("stream": 1, "trellanId": 1, "groupNumber": 1, "afileId": 1, "sourceOffset": 0, )"
        R"("seekOffset": 0, "size": 4, "sha256": ")" +
        std::string(64, 'a') + R"(")";
    const auto first = [&](const std::string& name) {
        return R"({"format": "pipeline-agent-manifest", "version": 1, "jobId": 7, "source": )"
               R"({"name": ")" +
               name + R"(", "size": 4, "sha256": ")" + std::string(64, 'b') +
               R"("}, "streams": [{)" + share + "}]}";
    };
    EXPECT_EQ(parseManifest(first("db.bin"), "m.json").files.at(0).name, "db.bin");
    const auto [nul, code] = thrown([&] { parseManifest(first("db.bin\\u0000.evil"), "m.json"); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(nul,
              "manifest m.json source name \"db.bin\" holds a NUL byte, which no file name "
              "can hold");
    const auto current = [&](const std::string& name) {
        return R"({"format": "pipeline-agent-manifest", "version": 2, "jobId": 7, )"
               R"("archiveFiles": [{"stream": 1, "trellanId": 1, "groupNumber": 1, "afileId": 1}], )"
               R"("files": [{"name": ")" +
               name + R"(", "size": 4, "mode": 420, "sha256": ")" + std::string(64, 'b') +
               R"(", "streams": [{)" + share + "}]}]}";
    };
    EXPECT_EQ(parseManifest(current(std::string(255, 'x')), "m.json").files.at(0).name.size(),
              255u);
    const auto [longName, code2] =
        thrown([&] { parseManifest(current(std::string(256, 'x')), "m.json"); });
    EXPECT_EQ(code2, 2);
    EXPECT_NE(longName.find("manifest m.json file 1 name "), std::string::npos) << longName;
    EXPECT_NE(longName.find("names of up to 255 bytes can be used"), std::string::npos) << longName;
}

TEST(Names, TheNearestKnownNameIsASlipAway) {
    const std::vector<std::string> commands = {"backup", "restore",  "list", "cleanup",
                                               "check",  "timeline", "demo"};
    EXPECT_EQ(nearestName("lsit", commands), "list");
    EXPECT_EQ(nearestName("restor", commands), "restore");
    EXPECT_EQ(nearestName("chek", commands), "check");
    EXPECT_EQ(nearestName("frobnicate", commands), "");
    EXPECT_EQ(nearestName("ls", commands), "");  // two edits from list, too short to be a slip
    EXPECT_EQ(nearestName("--manfest", {"--manifest", "--streams", "--name"}), "--manifest");
}

// What escapes a stream's thread (running out of memory) reaches the job
// through join(), where it would end the process; the other threads run on
// to their end, and the first such exception is the one handed back.
TEST(JoinedThreads, WhatEscapesAThreadReachesTheJob) {
    std::atomic<int> finished{0};
    JoinedThreads threads;
    for (int i = 0; i < 4; ++i) {
        ASSERT_FALSE(threads.start("stream " + std::to_string(i + 1), [i, &finished] {
            if (i == 2) throw std::bad_alloc();
            ++finished;
        }));
    }
    const std::exception_ptr escaped = threads.join();
    EXPECT_EQ(finished, 3);
    ASSERT_TRUE(escaped);
    EXPECT_THROW(std::rethrow_exception(escaped), std::bad_alloc);
    EXPECT_TRUE(threads.join() == escaped);
}

}  // namespace
