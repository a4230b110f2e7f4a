// The stages as the agent wires them: what a manifest of format 4 records
// and refuses, the store's key check, and each part's frames bound to its
// job, file and stream.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "AgentTestSupport.h"
#include "base/Sha256.h"
#include "keys/JobKeys.h"
#include "manifest/Manifest.h"
#include "platform/local/Config.h"
#include "platform/local/StoreSession.h"
#include "stages/FrameDecoder.h"
#include "stages/FrameEncoder.h"
#include "stages/JobStages.h"

namespace {

const std::string kDigestA(64, 'a');
const std::string kDigestB(64, 'b');
const std::string kDigestC(64, 'c');

// A set of two files over two streams, its bytes compressed: the first file
// split, the second whole on stream 2.
Manifest stagedManifest() {
    Manifest m;
    m.version = 4;
    m.jobId = 41;
    m.createdAt = "2026-12-08T00:00:00Z";
    m.stages.framed = true;
    m.stages.codec = Codec::Zstd;
    m.stages.level = 3;
    m.stages.frameSize = 1 << 20;
    m.archives = {{1, 10, 1, 100}, {2, 10, 1, 101}};
    ManifestFile a;
    a.name = "a";
    a.mode = 0644;
    a.size = 3000;
    a.sha256 = kDigestA;
    a.hasMtime = true;
    a.shares = {{m.archives[0], 0, 0, 1500, kDigestB, 40, kDigestC},
                {m.archives[1], 1500, 0, 1500, kDigestB, 45, kDigestC}};
    ManifestFile b;
    b.name = "b";
    b.mode = 0600;
    b.size = 10;
    b.sha256 = kDigestA;
    b.hasMtime = true;
    // Stream 1 holds none of it: an empty share at the stream's end.
    b.shares = {{m.archives[0], 0, 40, 0, Sha256().hex(), 0, Sha256().hex()},
                {m.archives[1], 0, 45, 10, kDigestB, 28, kDigestC}};
    m.files = {a, b};
    return m;
}

TEST(StagedManifest, RecordsStagesAndStoredSharesAndReadsThemBack) {
    const Manifest m = stagedManifest();
    const std::string text = manifestText(m);
    EXPECT_NE(text.find("\"storedSize\": 45"), std::string::npos) << text;
    EXPECT_NE(text.find("\"codec\": \"zstd\""), std::string::npos) << text;
    EXPECT_EQ(text.find("wrappedKey"), std::string::npos) << "not encrypted";
    const Manifest back = parseManifest(text, "m.json");
    EXPECT_EQ(back.version, 4);
    EXPECT_EQ(back.stages, m.stages);
    ASSERT_EQ(back.files.size(), 2u);
    EXPECT_EQ(back.files[0].shares, m.files[0].shares);
    EXPECT_EQ(back.files[1].shares, m.files[1].shares);
    // The next share on stream 2 starts after the stored bytes, not the logical ones.
    EXPECT_EQ(back.files[1].shares[1].seekOffset, 45u);
}

TEST(StagedManifest, RefusesStoredSharesThatDoNotChainOrFit) {
    const auto refused = [](const std::function<void(nlohmann::json&)>& change) {
        nlohmann::json document = nlohmann::json::parse(manifestText(stagedManifest()));
        change(document);
        return thrown([&] { parseManifest(document.dump(), "m.json"); });
    };
    // The second file's share placed after the first's logical size.
    auto [message, code] = refused([](nlohmann::json& d) {
        d["files"][1]["streams"][0]["seekOffset"] = 1500;
    });
    EXPECT_EQ(code, 2);
    EXPECT_NE(message.find("\"seekOffset\" 1500 does not follow the previous file's share (45)"),
              std::string::npos)
        << message;
    std::tie(message, code) = refused([](nlohmann::json& d) {
        d["files"][0]["streams"][0]["storedSize"] = 0;
    });
    EXPECT_EQ(code, 2);
    EXPECT_NE(message.find("\"storedSize\" 0 does not fit its 1500 bytes"), std::string::npos)
        << message;
    std::tie(message, code) = refused([](nlohmann::json& d) { d["stages"]["codec"] = "gzip"; });
    EXPECT_NE(message.find("\"codec\" is missing or not zstd, lz4 or none"), std::string::npos);
    std::tie(message, code) = refused([](nlohmann::json& d) { d["stages"]["frameSize"] = 0; });
    EXPECT_NE(message.find("\"frameSize\" 0 is out of range"), std::string::npos);
    std::tie(message, code) = refused([](nlohmann::json& d) { d.erase("stages"); });
    EXPECT_NE(message.find("\"stages\" is missing"), std::string::npos);
    std::tie(message, code) = refused([](nlohmann::json& d) {
        d["files"][0]["streams"][1].erase("storedSha256");
    });
    EXPECT_NE(message.find("\"storedSha256\" is missing"), std::string::npos);
}

TEST(StagedManifest, EarlierFormatsStoreTheLogicalBytes) {
    Manifest m = stagedManifest();
    m.version = 3;
    m.stages = {};
    for (ManifestFile& f : m.files) {
        for (ManifestShare& s : f.shares) {
            s.storedSize = s.size;
            s.storedSha256 = s.sha256;
        }
    }
    m.files[1].shares[0].seekOffset = 1500;
    m.files[1].shares[1].seekOffset = 1500;
    const std::string text = manifestText(m);
    EXPECT_EQ(text.find("stored"), std::string::npos) << text;
    EXPECT_EQ(text.find("stages"), std::string::npos) << text;
    const Manifest back = parseManifest(text, "m.json");
    EXPECT_FALSE(back.stages.framed);
    EXPECT_EQ(back.files[0].shares[1].storedSize, 1500u);
    EXPECT_EQ(back.files[0].shares[1].storedSha256, kDigestB);
    EXPECT_EQ(back.files[1].shares, m.files[1].shares);
}

// The store's key check is read from the open store, through its storage.
class StoreKeyCheck : public ::testing::Test {
protected:
    std::string keyFile(const std::string& name, char fill) {
        const std::string path = directory + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(40, fill);
        EXPECT_EQ(::chmod(path.c_str(), 0600), 0);
        return path;
    }
    static UserKey keyOf(const KeySource& source) {
        return readUserKey(source, "an encrypted backup");
    }
    void SetUp() override {
        ::unsetenv("PIPELINE_PASSPHRASE");
        localplatform::Config config;
        config.storeDir = directory + "/store";
        config.storeLogName = "test";
        localplatform::openStore(config, localplatform::Access::ReadWrite, true);
        store = localplatform::storeDirectory();
        check = store + "/encryption-check";
    }
    void TearDown() override { localplatform::closeStore(); }
    std::string directory = freshDirectory("stage-wiring-keys");
    std::string store;
    std::string check;
};

TEST_F(StoreKeyCheck, TheFirstEncryptedBackupWritesItAndLaterOnesMustOpenIt) {
    const KeySource key{keyFile("key", 'k')};
    const StoreKeyring first = openStoreKey(keyOf(key), KdfLimits::testOnlyLowest());
    struct stat status {};
    ASSERT_EQ(::lstat(check.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    // Only the check: no temporary left beside it.
    for (const auto& entry : std::filesystem::directory_iterator(store)) {
        EXPECT_EQ(entry.path().filename().string().find(".encryption-check"), std::string::npos)
            << entry.path();
    }
    const StoreKeyring again = openStoreKey(keyOf(key), KdfLimits::testOnlyLowest());
    EXPECT_EQ(again.key.bytes, first.key.bytes);
    EXPECT_EQ(again.recipe.salt, first.recipe.salt);

    const KeySource other{keyFile("other", 'o')};
    const auto [message, code] =
        thrown([&] { openStoreKey(keyOf(other), KdfLimits::testOnlyLowest()); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message, "the key does not open this store's key check " + check +
                           ": wrong key file or passphrase");
}

// Whatever takes the check's place is read as the store's other files are:
// never through a link, never waiting on a FIFO, never more than a check's
// size; refused at once with one line.
TEST_F(StoreKeyCheck, AnythingButARegularFileInItsPlaceIsRefusedAtOnce) {
    const KeySource key{keyFile("key", 'k')};
    const UserKey user = keyOf(key);
    ::alarm(20);  // a hang fails the test (SIGALRM) rather than the run
    ASSERT_EQ(::mkfifo(check.c_str(), 0600), 0);
    EXPECT_EQ(thrown([&] { openStoreKey(user, KdfLimits::testOnlyLowest()); }),
              std::make_pair(check + " is a FIFO, not a file", 2));
    ASSERT_EQ(::unlink(check.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", check.c_str()), 0);
    EXPECT_EQ(thrown([&] { openStoreKey(user, KdfLimits::testOnlyLowest()); }),
              std::make_pair(check + " is a symbolic link, not a file", 2));
    ASSERT_EQ(::unlink(check.c_str()), 0);
    // A link to a sound check is refused all the same.
    const StoreKeyring ring = openStoreKey(user, KdfLimits::testOnlyLowest());
    ASSERT_EQ(::rename(check.c_str(), (directory + "/check").c_str()), 0);
    ASSERT_EQ(::symlink((directory + "/check").c_str(), check.c_str()), 0);
    EXPECT_EQ(thrown([&] { openStoreKey(user, KdfLimits::testOnlyLowest()); }),
              std::make_pair(check + " is a symbolic link, not a file", 2));
    ASSERT_EQ(::unlink(check.c_str()), 0);
    ASSERT_EQ(::mkdir(check.c_str(), 0700), 0);
    EXPECT_EQ(thrown([&] { openStoreKey(user, KdfLimits::testOnlyLowest()); }).second, 2);
    ASSERT_EQ(::rmdir(check.c_str()), 0);
    std::ofstream(check, std::ios::binary) << std::string(1 << 20, '0');
    EXPECT_EQ(thrown([&] { openStoreKey(user, KdfLimits::testOnlyLowest()); }),
              std::make_pair(check + " holds more than 4096 bytes", 2));
    ::alarm(0);
    (void)ring;
}

// The cost a store's check asks is bounded as a manifest's is: a check
// asking more than the agent ever records is refused before any derivation.
TEST_F(StoreKeyCheck, ACheckAskingMoreThanTheAgentRecordsIsRefusedBeforeDeriving) {
    ::setenv("PIPELINE_PASSPHRASE", "correct horse", 1);
    const UserKey user = keyOf(KeySource{});
    KeyRecipe recipe = newPassphraseRecipe(KdfLimits::testOnlyLowest());
    recipe.opsLimit = 0xffffffffu;
    StoreKey anyKey;
    std::ofstream(check, std::ios::binary)
        << wrapDataKey(newDataKey(), anyKey, recipe, 0).toText() << "\n";
    const auto started = std::chrono::steady_clock::now();
    const auto [message, code] = thrown([&] { openStoreKey(user, KdfLimits::testOnlyLowest()); });
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message.rfind(check + ": Argon2id's cost (ops limit 4294967295, ", 0), 0u) << message;
    ::unsetenv("PIPELINE_PASSPHRASE");
}

TEST_F(StoreKeyCheck, AJobsDataKeyOpensWithItsKeyAndIsRefusedWithoutOne) {
    const KeySource key{keyFile("key", 'k')};
    const StoreKeyring ring = openStoreKey(keyOf(key), KdfLimits::testOnlyLowest());
    Manifest m = stagedManifest();
    const DataKey dataKey = newDataKey();
    m.stages.wrappedKey = wrapDataKey(dataKey, ring.key, ring.recipe, m.jobId).toText();
    EXPECT_EQ(jobDataKey(m, key).bytes, dataKey.bytes);
    const Manifest back = parseManifest(manifestText(m), "m.json");
    EXPECT_EQ(back.stages.wrappedKey, m.stages.wrappedKey);

    EXPECT_EQ(thrown([&] { jobDataKey(m, KeySource{}); }),
              std::make_pair(std::string("job 41 is encrypted and needs its key: give --key-file "
                                         "FILE or set PIPELINE_PASSPHRASE"),
                             2));
    // Another job's wrapped key put in this manifest.
    m.stages.wrappedKey = wrapDataKey(dataKey, ring.key, ring.recipe, 42).toText();
    EXPECT_EQ(thrown([&] { jobDataKey(m, key); }),
              std::make_pair(std::string("job 41's wrapped key belongs to job 42"), 2));
}

TEST_F(StoreKeyCheck, APassphraseStoreIsOpenedFromTheEnvironment) {
    ::setenv("PIPELINE_PASSPHRASE", "correct horse", 1);
    const StoreKeyring ring = openStoreKey(keyOf(KeySource{}), KdfLimits::testOnlyLowest());
    EXPECT_EQ(ring.recipe.source, KeyRecipe::Source::Passphrase);
    ::setenv("PIPELINE_PASSPHRASE", "wrong horse", 1);
    EXPECT_EQ(thrown([&] { openStoreKey(keyOf(KeySource{}), KdfLimits::testOnlyLowest()); }).second,
              2);
    // A key file does not open a store made with a passphrase.
    EXPECT_EQ(
        thrown([&] {
            openStoreKey(keyOf(KeySource{keyFile("key", 'k')}), KdfLimits::testOnlyLowest());
        }),
        std::make_pair(std::string("the job's key was made from a passphrase, not a key file"), 2));
    ::unsetenv("PIPELINE_PASSPHRASE");
}

// Frames of one part, as a backup's writer makes them.
std::vector<uint8_t> encodePart(const JobStages& stages, const std::string& name,
                                unsigned long stream, const std::string& data) {
    std::vector<uint8_t> stored;
    FrameEncoder encoder(stages.part(name, stream, 64), [&](const StoredFrame& frame) {
        stored.insert(stored.end(), frame.data, frame.data + frame.size);
    });
    encoder.write(data.data(), data.size());
    encoder.finish();
    return stored;
}

std::string decodePart(const JobStages& stages, const std::string& name, unsigned long stream,
                       const std::vector<uint8_t>& stored) {
    std::string out;
    FrameDecoder decoder(stages.part(name, stream, 64), [&](const uint8_t* data, std::size_t n) {
        out.append(reinterpret_cast<const char*>(data), n);
    });
    decoder.write(stored.data(), stored.size());
    decoder.finish();
    return out;
}

TEST(JobStagesPart, BindsEachPartToItsJobFileAndStream) {
    for (const bool sealed : {false, true}) {
        JobStages stages;
        stages.codec = Codec::Lz4;
        stages.jobId = 5;
        if (sealed) stages.key = newDataKey();
        const std::string data(200, 'x');
        const auto stored = encodePart(stages, "db", 2, data);
        EXPECT_EQ(decodePart(stages, "db", 2, stored), data);
        EXPECT_EQ(thrown([&] { decodePart(stages, "log", 2, stored); }).second, 1);
        EXPECT_EQ(thrown([&] { decodePart(stages, "db", 3, stored); }).second, 1);
        JobStages otherJob = stages;
        otherJob.jobId = 6;
        const auto [message, code] = thrown([&] { decodePart(otherJob, "db", 2, stored); });
        EXPECT_EQ(code, 1);
        EXPECT_EQ(message.rfind("file db, stream 2, frame 0: ", 0), 0u) << message;
    }
}

}  // namespace
