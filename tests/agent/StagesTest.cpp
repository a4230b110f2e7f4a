// The byte stages: frames compressed and sealed on their own, read back
// whole or from any frame, and every way a stored frame can be out of place.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "AgentTestSupport.h"
#include "base/AgentError.h"
#include "base/Interrupt.h"
#include "stages/CodecOption.h"
#include "stages/DataKeyWrap.h"
#include "stages/FrameDecoder.h"
#include "stages/FrameEncoder.h"
#include "stages/FrameFormat.h"
#include "stages/KeyDerivation.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr std::size_t kFrame = 4096;

enum class Data { Random, Zeros, Text };

Bytes makeData(Data kind, std::size_t size, unsigned seed = 1) {
    Bytes data(size);
    std::mt19937 random(seed);
    if (kind == Data::Random) {
        for (auto& byte : data) byte = static_cast<uint8_t>(random());
    } else if (kind == Data::Text) {
        static const char* const kWords[] = {"order ", "customer ", "amount ", "12.50\n", "shipped ", "42,"};
        std::size_t at = 0;
        while (at < size) {
            const char* word = kWords[random() % 6];
            for (const char* c = word; *c && at < size; ++c) data[at++] = static_cast<uint8_t>(*c);
        }
    }
    return data;
}

StageConfig config(Codec codec, bool sealed, const DataKey& key, uint64_t jobId = 7, uint64_t fileId = 1,
                   uint32_t stream = 2) {
    StageConfig c;
    c.codec = codec;
    c.level = codec == Codec::Zstd ? 3 : 0;
    if (sealed) c.key = key;
    c.base = {jobId, fileId, stream, 0};
    c.frameSize = kFrame;
    c.fileName = "db.sqlite";
    return c;
}

struct Encoded {
    Bytes stored;
    std::vector<StoredFrame> frames;  // offsets and lengths; data left null
    uint64_t logicalBytes = 0;
};

// Encodes data fed in pieces of `piece` bytes.
Encoded encode(const StageConfig& c, const Bytes& data, std::size_t piece = 1000) {
    Encoded out;
    FrameEncoder encoder(c, [&out](const StoredFrame& frame) {
        out.stored.insert(out.stored.end(), frame.data, frame.data + frame.size);
        StoredFrame kept = frame;
        kept.data = nullptr;
        out.frames.push_back(kept);
    });
    for (std::size_t at = 0; at < data.size(); at += piece)
        encoder.write(data.data() + at, std::min(piece, data.size() - at));
    encoder.finish();
    EXPECT_EQ(encoder.storedBytes(), out.stored.size());
    EXPECT_EQ(encoder.frames(), out.frames.size());
    out.logicalBytes = encoder.logicalBytes();
    return out;
}

// Decodes stored bytes fed in pieces of `piece` bytes; what reached the sink
// stays in `logical` even when the decoder throws.
void decode(const StageConfig& c, const uint8_t* stored, std::size_t size, Bytes& logical,
            std::size_t piece = 777) {
    FrameDecoder decoder(c, [&logical](const uint8_t* data, std::size_t length) {
        logical.insert(logical.end(), data, data + length);
    });
    for (std::size_t at = 0; at < size; at += piece) decoder.write(stored + at, std::min(piece, size - at));
    decoder.finish();
}

Bytes decodeAll(const StageConfig& c, const Bytes& stored) {
    Bytes logical;
    decode(c, stored.data(), stored.size(), logical);
    return logical;
}

// ---------------------------------------------------------------------------
// Option text

TEST(CodecOption, AcceptsEachCodecAndEveryZstdLevel) {
    EXPECT_EQ(parseCodecOption("--compress", "none").codec, Codec::None);
    EXPECT_EQ(parseCodecOption("--compress", "lz4").codec, Codec::Lz4);
    const CodecChoice plain = parseCodecOption("--compress", "zstd");
    EXPECT_EQ(plain.codec, Codec::Zstd);
    EXPECT_EQ(plain.level, 3);
    for (int level = 1; level <= 19; ++level) {
        const CodecChoice choice = parseCodecOption("--compress", "zstd:" + std::to_string(level));
        EXPECT_EQ(choice.codec, Codec::Zstd);
        EXPECT_EQ(choice.level, level);
    }
}

TEST(CodecOption, RefusesAnythingElseWithOneLine) {
    for (const char* text : {"", "zstd:0", "zstd:20", "zstd:03", "zstd:", "zstd:+3", "zstd:3 ", "zstd:1x",
                             "ZSTD", "lz4:1", "gzip", "none:1"}) {
        const auto [message, code] = thrown([&] { parseCodecOption("--compress", text); });
        EXPECT_EQ(code, 2) << text;
        EXPECT_EQ(message, std::string("--compress must be zstd, zstd:1 to zstd:19, lz4 or none, not \"") +
                               text + "\"");
    }
}

// ---------------------------------------------------------------------------
// Round trips: every codec, sealed or not, over sizes around the frame's and
// over data that does and does not compress.

class RoundTrip : public testing::TestWithParam<std::tuple<Codec, bool, std::size_t, Data>> {};

TEST_P(RoundTrip, GivesBackEveryByteAndBoundsWhatItStores) {
    const auto [codec, sealed, size, kind] = GetParam();
    const DataKey key = newDataKey();
    const StageConfig c = config(codec, sealed, key);
    const Bytes data = makeData(kind, size);

    const Encoded encoded = encode(c, data);
    const std::size_t frames = (size + kFrame - 1) / kFrame;
    ASSERT_EQ(encoded.frames.size(), frames);
    EXPECT_EQ(encoded.logicalBytes, size);
    for (std::size_t i = 0; i < frames; ++i) {
        EXPECT_EQ(encoded.frames[i].index, i);
        EXPECT_EQ(encoded.frames[i].logicalOffset, i * kFrame);
        EXPECT_EQ(encoded.frames[i].logicalLength, std::min(kFrame, size - i * kFrame));
    }

    const std::size_t overhead = frame_format::frameOverhead(sealed);
    if (codec == Codec::None || kind == Data::Random) {
        // Kept raw: exactly the logical bytes and each frame's overhead.
        EXPECT_EQ(encoded.stored.size(), size + frames * overhead);
    } else {
        EXPECT_LE(encoded.stored.size(), size + frames * overhead);
    }
    if (codec != Codec::None && kind == Data::Zeros && size >= kFrame) {
        EXPECT_LT(encoded.stored.size(), size / 20);
    }

    EXPECT_EQ(decodeAll(c, encoded.stored), data);
}

std::string roundTripName(const testing::TestParamInfo<RoundTrip::ParamType>& info) {
    const auto [codec, sealed, size, kind] = info.param;
    static const char* const kKinds[] = {"random", "zeros", "text"};
    return std::string(codecName(codec)) + (sealed ? "_sealed_" : "_plain_") + std::to_string(size) + "_" +
           kKinds[static_cast<int>(kind)];
}

INSTANTIATE_TEST_SUITE_P(Stages, RoundTrip,
                         testing::Combine(testing::Values(Codec::None, Codec::Zstd, Codec::Lz4),
                                          testing::Bool(),
                                          testing::Values(std::size_t{0}, std::size_t{1}, kFrame, kFrame + 1,
                                                          kFrame * 37 + 123),
                                          testing::Values(Data::Random, Data::Zeros, Data::Text)),
                         roundTripName);

TEST(Stages, EveryZstdLevelReadsBackAndHigherLevelsStoreNoMore) {
    const Bytes data = makeData(Data::Text, kFrame * 8);
    std::size_t previous = 0;
    for (int level : {1, 3, 19}) {
        StageConfig c = config(Codec::Zstd, false, DataKey{});
        c.level = level;
        const Encoded encoded = encode(c, data);
        EXPECT_EQ(decodeAll(c, encoded.stored), data) << level;
        if (previous != 0) {
            EXPECT_LE(encoded.stored.size(), previous) << level;
        }
        previous = encoded.stored.size();
    }
}

TEST(Stages, AnyDecoderReadsFramesOfAnyCodec) {
    // The codec is in each frame's header: a restore needs no codec option.
    const Bytes data = makeData(Data::Text, kFrame * 3 + 5);
    const DataKey key = newDataKey();
    for (Codec codec : {Codec::Zstd, Codec::Lz4}) {
        const Encoded encoded = encode(config(codec, true, key), data);
        EXPECT_EQ(decodeAll(config(Codec::None, true, key), encoded.stored), data) << codecName(codec);
    }
}

TEST(Stages, EachFrameLeavesAsSoonAsItIsWhole) {
    // One frame's buffers, whatever is fed: a frame goes to the sink while
    // the write that fills it runs, not at finish.
    const DataKey key = newDataKey();
    const Bytes data = makeData(Data::Text, kFrame * 2 + kFrame / 2);
    Bytes stored;
    std::vector<std::size_t> sizes;
    FrameEncoder encoder(config(Codec::Lz4, true, key), [&](const StoredFrame& frame) {
        stored.insert(stored.end(), frame.data, frame.data + frame.size);
        sizes.push_back(frame.size);
    });
    encoder.write(data.data(), data.size());
    EXPECT_EQ(sizes.size(), 2u);
    encoder.finish();
    ASSERT_EQ(sizes.size(), 3u);

    Bytes logical;
    FrameDecoder decoder(config(Codec::Lz4, true, key), [&](const uint8_t* bytes, std::size_t length) {
        logical.insert(logical.end(), bytes, bytes + length);
    });
    decoder.write(stored.data(), sizes[0] - 1);
    EXPECT_TRUE(logical.empty());
    decoder.write(stored.data() + sizes[0] - 1, 1);
    EXPECT_EQ(logical, Bytes(data.begin(), data.begin() + kFrame));
}

// ---------------------------------------------------------------------------
// A restore that seeks: from the k-th frame's stored offset and its index.

TEST(Stages, DecodesFromAnyFramesStoredOffsetAlone) {
    const DataKey key = newDataKey();
    const Bytes data = makeData(Data::Text, kFrame * 20 + 99);
    for (bool sealed : {false, true}) {
        const StageConfig c = config(Codec::Zstd, sealed, key);
        const Encoded encoded = encode(c, data);
        ASSERT_EQ(encoded.frames.size(), 21u);
        for (std::size_t k : {std::size_t{1}, std::size_t{9}, std::size_t{20}}) {
            StageConfig from = c;
            from.base.frameIndex = k;
            const std::size_t offset = encoded.frames[k].storedOffset;
            Bytes logical;
            decode(from, encoded.stored.data() + offset, encoded.stored.size() - offset, logical);
            EXPECT_EQ(logical, Bytes(data.begin() + static_cast<std::ptrdiff_t>(k * kFrame), data.end()))
                << "from frame " << k << (sealed ? ", sealed" : "");
        }
        // The same bytes read as if they were frame 0 are out of place.
        const std::size_t offset = encoded.frames[9].storedOffset;
        Bytes logical;
        const auto [message, code] = thrown(
            [&] { decode(c, encoded.stored.data() + offset, encoded.stored.size() - offset, logical); });
        EXPECT_EQ(code, 1);
        EXPECT_NE(message.find("file db.sqlite, stream 2, frame 0: the frame does not"), std::string::npos)
            << message;
        EXPECT_TRUE(logical.empty());
    }
}

// ---------------------------------------------------------------------------
// Frames damaged or out of place. Each fails with one line naming the frame,
// and none of that frame's bytes reach the sink.

class Tampering : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        sealed = GetParam();
        c = config(Codec::Zstd, sealed, key);
        encoded = encode(c, data);
        ASSERT_EQ(encoded.frames.size(), 4u);
    }

    // Frame i's stored bytes.
    Bytes frameBytes(const Encoded& from, std::size_t i) const {
        const auto begin = from.stored.begin() + static_cast<std::ptrdiff_t>(from.frames[i].storedOffset);
        return Bytes(begin, begin + static_cast<std::ptrdiff_t>(frameSize(from, i)));
    }
    static std::size_t frameSize(const Encoded& from, std::size_t i) {
        const std::size_t end = i + 1 < from.frames.size() ? from.frames[i + 1].storedOffset : from.stored.size();
        return end - from.frames[i].storedOffset;
    }

    // The stream with frame i replaced by `replacement`.
    Bytes withFrame(std::size_t i, const Bytes& replacement) const {
        Bytes out(encoded.stored.begin(), encoded.stored.begin() + static_cast<std::ptrdiff_t>(encoded.frames[i].storedOffset));
        out.insert(out.end(), replacement.begin(), replacement.end());
        const std::size_t after = encoded.frames[i].storedOffset + frameSize(encoded, i);
        out.insert(out.end(), encoded.stored.begin() + static_cast<std::ptrdiff_t>(after), encoded.stored.end());
        return out;
    }

    // Decodes `stored` with `with`, expects a failure naming frame `frame`
    // with `what`, and that exactly the frames before it came out.
    void expectFailure(const Bytes& stored, std::size_t frame, const std::string& what) {
        expectFailureWith(c, stored, frame, what);
    }
    void expectFailureWith(const StageConfig& with, const Bytes& stored, std::size_t frame, const std::string& what) {
        Bytes logical;
        const auto [message, code] = thrown([&] { decode(with, stored.data(), stored.size(), logical); });
        EXPECT_EQ(code, 1);
        EXPECT_EQ(message.find('\n'), std::string::npos);
        EXPECT_EQ(message.rfind("file db.sqlite, stream 2, frame " + std::to_string(frame) + ": ", 0), 0u) << message;
        EXPECT_NE(message.find(what), std::string::npos) << message;
        EXPECT_EQ(logical, Bytes(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(frame * kFrame)));
    }

    std::string notOpen() const { return sealed ? "does not open" : "does not match its check"; }

    bool sealed = false;
    DataKey key = newDataKey();
    Bytes data = makeData(Data::Text, kFrame * 4);
    StageConfig c;
    Encoded encoded;
};

TEST_P(Tampering, AFlippedByteInAFramesBodyOrCheck) {
    const std::size_t start = encoded.frames[2].storedOffset;
    const std::size_t header = frame_format::headerSize(sealed);
    for (std::size_t at : {header, header + 7, frameSize(encoded, 2) - 1, header - 1}) {
        Bytes damaged = encoded.stored;
        damaged[start + at] ^= 0x10;
        expectFailure(damaged, 2, notOpen());
    }
}

TEST_P(Tampering, AFlippedByteInAFramesHeader) {
    const std::size_t start = encoded.frames[1].storedOffset;
    // Magic and flags are refused as a header; a logical length that still
    // fits fails the seal or check that binds it.
    Bytes damaged = encoded.stored;
    damaged[start] ^= 0x01;
    expectFailure(damaged, 1, "bad frame header: no frame starts here");

    damaged = encoded.stored;
    damaged[start + 1] ^= 0x40;
    expectFailure(damaged, 1, "bad frame header: unknown flags");

    damaged = encoded.stored;
    damaged[start + 2] ^= 0x01;  // logical length 4096 -> 4097: over the frame size
    expectFailure(damaged, 1, "bad frame header: logical length 4097");

    // A stored length one off still fits the logical length: the frame is
    // then read a byte short or long, and its seal or check fails.
    damaged = encoded.stored;
    damaged[start + 6] ^= 0x01;
    expectFailure(damaged, 1, notOpen());

    // The codec bits flipped to lz4 (1 -> 3 is no codec; 1 -> 2 swaps zstd
    // for lz4): the check or seal catches it before any decompression.
    damaged = encoded.stored;
    damaged[start + 1] ^= 0x03;
    expectFailure(damaged, 1, notOpen());

    // Stripping or adding the seal flag is refused by what the job expects.
    damaged = encoded.stored;
    damaged[start + 1] ^= frame_format::kSealedFlag;
    expectFailure(damaged, 1, sealed ? "the frame is not sealed, but the job is encrypted"
                                     : "the frame is sealed, but no key was given");
}

TEST_P(Tampering, AFrameSwappedWithAnotherOfTheSameStream) {
    Bytes swapped(encoded.stored.begin(),
                  encoded.stored.begin() + static_cast<std::ptrdiff_t>(encoded.frames[1].storedOffset));
    for (std::size_t i : {2, 1, 3}) {
        const Bytes frame = frameBytes(encoded, i);
        swapped.insert(swapped.end(), frame.begin(), frame.end());
    }
    ASSERT_EQ(swapped.size(), encoded.stored.size());
    expectFailure(swapped, 1, notOpen());

    // A frame repeated in place of the next one.
    expectFailure(withFrame(3, frameBytes(encoded, 2)), 3, notOpen());
}

TEST_P(Tampering, AFrameFromAnotherFileStreamOrJob) {
    struct Other {
        const char* what;
        StageConfig config;
    };
    DataKey otherKey = newDataKey();
    std::vector<Other> others = {{"file", config(Codec::Zstd, sealed, key, 7, 2, 2)},
                                 {"stream", config(Codec::Zstd, sealed, key, 7, 1, 3)},
                                 {"job id", config(Codec::Zstd, sealed, key, 8, 1, 2)}};
    if (sealed) others.push_back({"data key", config(Codec::Zstd, true, otherKey, 7, 1, 2)});
    for (const Other& other : others) {
        SCOPED_TRACE(other.what);
        const Encoded foreign = encode(other.config, data);
        // Frame 2 of the same bytes, encoded for another place.
        expectFailure(withFrame(2, frameBytes(foreign, 2)), 2, notOpen());
        // And the whole foreign stream read as this one fails at once.
        expectFailure(foreign.stored, 0, notOpen());
    }
}

TEST_P(Tampering, StoredBytesThatEndInsideAFrame) {
    Bytes cut(encoded.stored.begin(), encoded.stored.end() - 1);
    expectFailure(cut, 3, "cut short");
    cut.assign(encoded.stored.begin(), encoded.stored.begin() + static_cast<std::ptrdiff_t>(encoded.frames[3].storedOffset + 4));
    expectFailure(cut, 3, "cut short: 4 of its header's 10 bytes");
}

INSTANTIATE_TEST_SUITE_P(Stages, Tampering, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) { return info.param ? "sealed" : "plain"; });

// ---------------------------------------------------------------------------
// Keys: a passphrase or key file makes the store key, which opens the job's
// data key or, if wrong, fails before any frame is read.

TEST(Keys, APassphraseOpensItsJobsFramesAndAWrongOneFailsAtTheDataKey) {
    const KeyRecipe recipe = newPassphraseRecipe(KdfLimits::testOnlyLowest());
    const DataKey dataKey = newDataKey();
    const WrappedDataKey wrapped = wrapDataKey(dataKey, storeKeyFromPassphrase("correct horse", recipe), recipe, 42);
    const WrappedDataKey record = WrappedDataKey::fromText(wrapped.toText(), "m.json");

    const Bytes data = makeData(Data::Text, kFrame * 2 + 1);
    const Encoded encoded = encode(config(Codec::Lz4, true, dataKey, 42), data);
    const DataKey opened = unwrapDataKey(record, storeKeyFromPassphrase("correct horse", record.recipe));
    EXPECT_EQ(decodeAll(config(Codec::Lz4, true, opened, 42), encoded.stored), data);

    const auto [message, code] =
        thrown([&] { unwrapDataKey(record, storeKeyFromPassphrase("correct horse!", record.recipe)); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message, "the key does not open job 42's data key: wrong passphrase (or the key record is damaged)");
}

TEST(Keys, AChangedKeyRecordFailsAsAWrongKeyWould) {
    const KeyRecipe recipe = newPassphraseRecipe(KdfLimits::testOnlyLowest());
    const StoreKey storeKey = storeKeyFromPassphrase("pass", recipe);
    const WrappedDataKey wrapped = wrapDataKey(newDataKey(), storeKey, recipe, 5);

    WrappedDataKey otherJob = wrapped;
    otherJob.jobId = 6;  // the wrapped key of job 5 put in job 6's record
    EXPECT_EQ(thrown([&] { unwrapDataKey(otherJob, storeKey); }).second, 2);

    // Lower limits recorded: the same store key still fails, as they are bound.
    WrappedDataKey weaker = wrapped;
    weaker.recipe.opsLimit += 1;
    EXPECT_EQ(thrown([&] { unwrapDataKey(weaker, storeKey); }).second, 2);

    const std::string text = wrapped.toText();
    for (std::size_t at : {std::size_t{5}, text.size() / 2, text.size() - 1}) {
        std::string changed = text;
        changed[at] = changed[at] == '0' ? '1' : '0';
        EXPECT_EQ(thrown([&] {
                      const WrappedDataKey read = WrappedDataKey::fromText(changed, "m.json");
                      unwrapDataKey(read, storeKeyFromPassphrase("pass", read.recipe));
                  }).second,
                  2)
            << "digit " << at;
    }
    const auto [message, code] = thrown([&] { WrappedDataKey::fromText(text.substr(2), "m.json"); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message, "m.json: the wrapped data key is not one this agent wrote");
}

TEST(Keys, PassphraseRecipesAreRefusedWhenEmptyOrOutOfRange) {
    KeyRecipe recipe = newPassphraseRecipe(KdfLimits::testOnlyLowest());
    EXPECT_EQ(thrown([&] { storeKeyFromPassphrase("", recipe); }), std::make_pair(std::string("the passphrase is empty"), 2));
    recipe.memLimit = 0;
    EXPECT_EQ(thrown([&] { storeKeyFromPassphrase("pass", recipe); }).second, 2);
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile("/nonexistent", recipe); }).first,
              "the job's key was made from a passphrase, not a key file");
}

// A recipe read from a store or a manifest chooses Argon2id's cost: one past
// the most this agent ever records (3 passes over 256 MiB) is refused as it
// is read, before a second of CPU or a byte of memory goes to it.
TEST(Keys, RecipesAskingMoreThanTheAgentEverRecordsAreRefusedAsTheyAreRead) {
    const KeyRecipe moderate = newPassphraseRecipe(KdfLimits::moderate());
    EXPECT_EQ(moderate.opsLimit, 3u);
    EXPECT_EQ(moderate.memLimit, uint64_t{256} << 20);
    const KeyRecipe lowest = newPassphraseRecipe(KdfLimits::testOnlyLowest());
    const StoreKey storeKey = storeKeyFromPassphrase("pass", lowest);
    // Both of the agent's own recipes read back.
    for (const KeyRecipe& recipe : {moderate, lowest, newKeyFileRecipe()}) {
        const WrappedDataKey wrapped = wrapDataKey(newDataKey(), storeKey, recipe, 5);
        EXPECT_EQ(WrappedDataKey::fromText(wrapped.toText(), "m.json").recipe.opsLimit, recipe.opsLimit);
    }
    const std::string range = "(ops 1 to 3, memory 8192 bytes to 256 MiB): it is damaged or was altered";
    struct Case {
        uint64_t ops, memory;
    };
    for (const Case c : {Case{0xffffffffu, lowest.memLimit}, Case{4, lowest.memLimit},
                         Case{moderate.opsLimit, (uint64_t{256} << 20) + 1}, Case{1, uint64_t{1} << 30},
                         Case{0, lowest.memLimit}, Case{1, 8191}}) {
        KeyRecipe recipe = lowest;
        recipe.opsLimit = c.ops;
        recipe.memLimit = c.memory;
        const WrappedDataKey wrapped = wrapDataKey(newDataKey(), storeKey, recipe, 5);
        const std::string cost = "(ops limit " + std::to_string(c.ops) + ", memory limit " +
                                 std::to_string(c.memory) + " bytes)";
        EXPECT_EQ(thrown([&] { WrappedDataKey::fromText(wrapped.toText(), "job 5's wrapped key"); }),
                  std::make_pair("job 5's wrapped key: Argon2id's cost " + cost +
                                     " is out of the range this agent uses " + range,
                                 2));
        // And never derived, whoever hands the recipe over.
        EXPECT_EQ(thrown([&] { storeKeyFromPassphrase("pass", recipe); }).second, 2);
    }
    // A key file's recipe records no cost.
    KeyRecipe keyFile = newKeyFileRecipe();
    keyFile.opsLimit = 3;
    const WrappedDataKey wrapped = wrapDataKey(newDataKey(), storeKey, keyFile, 5);
    EXPECT_EQ(thrown([&] { WrappedDataKey::fromText(wrapped.toText(), "m.json"); }).second, 2);
}

// Argon2id cannot be stopped midway: the first SIGTERM ends the wait for it at
// once, with the interrupted exit status, not when the derivation is done.
TEST(KeysDeathTest, TheFirstSignalEndsADerivationInProgress) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            installInterruptHandling();
            const KeyRecipe recipe = newPassphraseRecipe(KdfLimits::moderate());
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
                ::kill(::getpid(), SIGTERM);
            }).detach();
            const auto started = std::chrono::steady_clock::now();
            int status = 0;
            try {
                storeKeyFromPassphrase("correct horse", recipe);  // 3 passes over 256 MiB
            } catch (const AgentError& error) {
                status = error.exitCode();
                std::fprintf(stderr, "%s\n", error.what());
            }
            const auto took = std::chrono::steady_clock::now() - started;
            // The signal came 150 ms in; the wait ends within a poll of it.
            if (took > std::chrono::milliseconds(150 + 500)) status = 99;
            std::fflush(stderr);
            _exit(status);
        },
        testing::ExitedWithCode(128 + SIGTERM), "interrupted by SIGTERM");
}

class KeyFile : public testing::Test {
protected:
    std::string write(const std::string& name, const std::string& content, mode_t mode) {
        const std::string path = directory + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        EXPECT_EQ(::chmod(path.c_str(), mode), 0);
        return path;
    }
    std::string directory = freshDirectory("stages-keys");
};

TEST_F(KeyFile, OpensItsJobsDataKeyAndAnotherFileFails) {
    std::string content(40, '\0');
    content[7] = '\n';  // any bytes: not text
    const std::string path = write("job.key", content, 0600);
    const KeyRecipe recipe = newKeyFileRecipe();
    const DataKey dataKey = newDataKey();
    const WrappedDataKey wrapped = wrapDataKey(dataKey, storeKeyFromKeyFile(path, recipe), recipe, 9);
    EXPECT_EQ(unwrapDataKey(wrapped, storeKeyFromKeyFile(path, recipe)).bytes, dataKey.bytes);

    // The same file under another salt is another store key.
    EXPECT_NE(storeKeyFromKeyFile(path, newKeyFileRecipe()).bytes, storeKeyFromKeyFile(path, recipe).bytes);

    content[39] = 1;
    const std::string other = write("other.key", content, 0400);
    const auto [message, code] = thrown([&] { unwrapDataKey(wrapped, storeKeyFromKeyFile(other, recipe)); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message, "the key does not open job 9's data key: wrong key file (or the key record is damaged)");
}

TEST_F(KeyFile, RefusesAShortOrOpenOrMissingFile) {
    const KeyRecipe recipe = newKeyFileRecipe();
    const std::string shortFile = write("short.key", std::string(31, 'k'), 0600);
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile(shortFile, recipe); }),
              std::make_pair("key file " + shortFile + " holds 31 bytes; a key file needs at least 32", 2));
    const std::string empty = write("empty.key", "", 0600);
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile(empty, recipe); }).second, 2);

    for (mode_t mode : {0644, 0640, 0604, 0660}) {
        const std::string open = write("open.key", std::string(64, 'k'), mode);
        char octal[8];
        std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode));
        EXPECT_EQ(thrown([&] { storeKeyFromKeyFile(open, recipe); }),
                  std::make_pair("key file " + open + " has mode " + octal +
                                     ", open to group or others: make it its owner's alone (chmod 600)",
                                 2));
    }
    const auto [message, code] = thrown([&] { storeKeyFromKeyFile(directory + "/missing.key", recipe); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(message.rfind("cannot read key file " + directory + "/missing.key: ", 0), 0u) << message;
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile(directory, recipe); }).first,
              "key file " + directory + " is a directory, not a regular file");
}

// A key file is opened without blocking and its type checked on the open
// descriptor: a FIFO with no writer is refused at once instead of hanging,
// a device is refused without a byte read, and a link to a regular file is
// the user's to give.
TEST_F(KeyFile, RefusesAFifoOrADeviceAtOnceAndFollowsALinkToAFile) {
    const KeyRecipe recipe = newKeyFileRecipe();
    const std::string fifo = directory + "/fifo.key";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ::alarm(20);  // a hang fails the test (SIGALRM) rather than the run
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile(fifo, recipe); }),
              std::make_pair("key file " + fifo + " is a FIFO, not a regular file", 2));
    EXPECT_EQ(thrown([&] { readKeyFile(fifo); }).second, 2);
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile("/dev/zero", recipe); }),
              std::make_pair(std::string("key file /dev/zero is a device, not a regular file"), 2));
    const std::string toFifo = directory + "/to-fifo.key";
    ASSERT_EQ(::symlink(fifo.c_str(), toFifo.c_str()), 0);
    EXPECT_EQ(thrown([&] { storeKeyFromKeyFile(toFifo, recipe); }).first,
              "key file " + toFifo + " is a FIFO, not a regular file");
    ::alarm(0);

    const std::string real = write("real.key", std::string(40, 'r'), 0600);
    const std::string link = directory + "/link.key";
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    EXPECT_EQ(storeKeyFromKeyFile(link, recipe).bytes, storeKeyFromKeyFile(real, recipe).bytes);
    const KeyFileContent content = readKeyFile(link);
    EXPECT_EQ(content.bytes, std::vector<uint8_t>(40, 'r'));
    // Larger than a key: refused by its size, not read.
    const std::string large = write("large.key", std::string((1 << 20) + 1, 'l'), 0600);
    EXPECT_EQ(thrown([&] { readKeyFile(large); }),
              std::make_pair("key file " + large + " is larger than 1 MiB: not a key", 2));
}

TEST(Stages, FileIdsOfNamesAreStableAndDistinct) {
    EXPECT_EQ(fileIdOfName("sample.db"), fileIdOfName("sample.db"));
    EXPECT_NE(fileIdOfName("sample.db"), fileIdOfName("sample.db2"));
    // The first 8 bytes of SHA-256("abc") = ba7816bf8f01cfea..., little-endian.
    EXPECT_EQ(fileIdOfName("abc"), 0xeacf018fbf1678baull);
}

}  // namespace
