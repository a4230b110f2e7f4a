// MB/s of the byte stages' encode and decode, per codec, sealed or not, on
// compressible bytes (the demo's sample database, or text-like bytes) and on
// random bytes; beside `zstd -3 -T1` of the same bytes when the CLI is there.
// Not a test: build/release/tools/stages_bench [--mib N] [--text] [--dir DIR] [--frame KIB]

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "commands/SampleDatabase.h"
#include "stages/CodecOption.h"
#include "stages/DataKeyWrap.h"
#include "stages/FrameDecoder.h"
#include "stages/FrameEncoder.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

double mbPerSecond(std::size_t bytes, double secs) { return static_cast<double>(bytes) / 1e6 / secs; }

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// `size` bytes of the sample database: made once at a quarter of the size
// and repeated (frames are 1 MiB and zstd's window at -3 is 2 MiB, so the
// repeat does not help either side).
Bytes sampleBytes(const std::string& dir, std::size_t size) {
    const std::string path = dir + "/sample.db";
    std::filesystem::remove(path);
    const auto start = Clock::now();
    makeSampleDatabase(path, size / 4);
    Bytes one = readFile(path);
    std::fprintf(stderr, "made a %zu-byte sample database in %.1f s\n", one.size(), seconds(start));
    Bytes data;
    data.reserve(size);
    while (data.size() < size)
        data.insert(data.end(), one.begin(), one.begin() + static_cast<std::ptrdiff_t>(std::min(one.size(), size - data.size())));
    return data;
}

Bytes textBytes(std::size_t size) {
    static const char* const kWords[] = {"order", "customer", "amount", "shipped", "pending", "12.50", "1999-02-03",
                                         "Berlin", "Lisbon", "express", "returned", "\n"};
    std::mt19937 random(7);
    Bytes data;
    data.reserve(size);
    while (data.size() < size) {
        const char* word = kWords[random() % 12];
        for (const char* c = word; *c && data.size() < size; ++c) data.push_back(static_cast<uint8_t>(*c));
        if (data.size() < size) data.push_back(random() % 3 ? ' ' : ',');
    }
    return data;
}

Bytes randomBytes(std::size_t size) {
    Bytes data(size);
    std::mt19937_64 random(11);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t word = random();
        std::memcpy(data.data() + i, &word, 8);
    }
    return data;
}

void runStages(const char* dataName, const Bytes& data, std::size_t frameSize) {
    const DataKey key = newDataKey();
    Bytes stored;
    stored.reserve(data.size() + data.size() / 16 + (1 << 20));
    for (const char* option : {"zstd:1", "zstd:3", "lz4", "none"}) {
        const CodecChoice choice = parseCodecOption("--compress", option);
        for (bool sealed : {false, true}) {
            StageConfig config;
            config.codec = choice.codec;
            config.level = choice.level;
            if (sealed) config.key = key;
            config.base = {1, 1, 1, 0};
            config.frameSize = frameSize;
            config.fileName = "bench";

            stored.clear();
            auto start = Clock::now();
            FrameEncoder encoder(config, [&stored](const StoredFrame& frame) {
                stored.insert(stored.end(), frame.data, frame.data + frame.size);
            });
            // Fed in 256 KiB pieces, as a stream's reads come.
            for (std::size_t at = 0; at < data.size(); at += 256 << 10)
                encoder.write(data.data() + at, std::min<std::size_t>(256 << 10, data.size() - at));
            encoder.finish();
            const double encodeSecs = seconds(start);

            std::size_t at = 0;
            bool same = true;
            start = Clock::now();
            FrameDecoder decoder(config, [&](const uint8_t* bytes, std::size_t length) {
                same = same && std::memcmp(bytes, data.data() + at, length) == 0;
                at += length;
            });
            for (std::size_t off = 0; off < stored.size(); off += 256 << 10)
                decoder.write(stored.data() + off, std::min<std::size_t>(256 << 10, stored.size() - off));
            decoder.finish();
            const double decodeSecs = seconds(start);
            if (!same || at != data.size()) {
                std::fprintf(stderr, "%s %s: decoded bytes differ\n", dataName, option);
                std::exit(1);
            }
            std::printf("| %-8s | %-6s | %-4s | %6.3f | %8.0f | %8.0f |\n", dataName, option, sealed ? "yes" : "no",
                        static_cast<double>(stored.size()) / static_cast<double>(data.size()),
                        mbPerSecond(data.size(), encodeSecs), mbPerSecond(data.size(), decodeSecs));
            std::fflush(stdout);
        }
    }
}

void runZstdCli(const char* dataName, const Bytes& data, const std::string& dir) {
    if (std::system("command -v zstd >/dev/null 2>&1") != 0) {
        std::printf("| %-8s | zstd -3 -T1 CLI: not installed |\n", dataName);
        return;
    }
    const std::string raw = dir + "/bytes", packed = dir + "/bytes.zst";
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                               static_cast<std::streamsize>(data.size()));
    std::system(("cat " + raw + " >/dev/null").c_str());  // in the page cache, as the stages' input is in memory
    auto start = Clock::now();
    const int compressed = std::system(("zstd -3 -T1 -q -c " + raw + " > " + packed).c_str());
    const double encodeSecs = seconds(start);
    start = Clock::now();
    const int decompressed = std::system(("zstd -d -T1 -q -c " + packed + " > /dev/null").c_str());
    const double decodeSecs = seconds(start);
    if (compressed != 0 || decompressed != 0) {
        std::printf("| %-8s | zstd CLI failed |\n", dataName);
        return;
    }
    std::printf("| %-8s | %-6s | %-4s | %6.3f | %8.0f | %8.0f |\n", dataName, "CLI -3", "no",
                static_cast<double>(std::filesystem::file_size(packed)) / static_cast<double>(data.size()),
                mbPerSecond(data.size(), encodeSecs), mbPerSecond(data.size(), decodeSecs));
    std::filesystem::remove(raw);
    std::filesystem::remove(packed);
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t mib = 256;
    bool text = false;
    std::string dir;
    std::size_t frameKiB = 1024;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mib" && i + 1 < argc) mib = std::stoul(argv[++i]);
        else if (arg == "--text") text = true;
        else if (arg == "--dir" && i + 1 < argc) dir = argv[++i];
        else if (arg == "--frame" && i + 1 < argc) frameKiB = std::stoul(argv[++i]);
        else {
            std::fprintf(stderr, "usage: stages_bench [--mib N] [--text] [--dir DIR] [--frame KIB]\n");
            return 2;
        }
    }
    if (dir.empty()) {
        char pattern[] = "/tmp/stages-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) return 1;
        dir = pattern;
    }
    const std::size_t size = mib << 20;
    if (frameKiB == 0 || frameKiB > 1024) {
        std::fprintf(stderr, "stages_bench: --frame is 1 to 1024 KiB\n");
        return 2;
    }
    std::printf("%zu MiB per run, %zu KiB frames; MB/s = 10^6 logical bytes per second; decode includes a memcmp "
                "against the input\n\n",
                mib, frameKiB);
    std::printf("| data     | codec  | seal | stored/logical | encode MB/s | decode MB/s |\n");
    std::printf("|---|---|---|---|---|---|\n");
    {
        const Bytes data = text ? textBytes(size) : sampleBytes(dir, size);
        const char* name = text ? "text" : "sampledb";
        runStages(name, data, frameKiB << 10);
        runZstdCli(name, data, dir);
    }
    {
        const Bytes data = randomBytes(size);
        runStages("random", data, frameKiB << 10);
        runZstdCli("random", data, dir);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
