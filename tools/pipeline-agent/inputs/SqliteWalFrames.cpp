#include "inputs/SqliteWalFrames.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/AgentError.h"

namespace {

constexpr std::size_t kHeaderSize = 32;
constexpr std::size_t kFrameHeaderSize = 24;
constexpr uint32_t kMagicLittleEndian = 0x377f0682;  // checksums over little-endian words
constexpr uint32_t kMagicBigEndian = 0x377f0683;     // over big-endian words
constexpr uint32_t kFormatVersion = 3007000;
// How much of the log one read takes.
constexpr std::size_t kReadSize = 1 << 20;

uint32_t bigEndian32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

uint32_t littleEndian32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[3]) << 24 | static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[1]) << 8 | static_cast<uint32_t>(bytes[0]);
}

// The log's running checksum: two 32-bit sums over pairs of words, carried
// from the header through every frame that counts.
struct Checksum {
    bool bigEndian = false;
    uint32_t first = 0;
    uint32_t second = 0;

    // length: a multiple of 8.
    void add(const unsigned char* bytes, std::size_t length) {
        const auto word = bigEndian ? bigEndian32 : littleEndian32;
        for (std::size_t i = 0; i + 8 <= length; i += 8) {
            first += word(bytes + i) + second;
            second += word(bytes + i + 4) + first;
        }
    }
    bool matches(const unsigned char* stored) const {
        return bigEndian32(stored) == first && bigEndian32(stored + 4) == second;
    }
};

// Reads the log front to back, a chunk at a time.
class LogReader {
public:
    LogReader(int fd, const std::string& path) : m_fd(fd), m_path(path) {}

    // The next length bytes, or null when the log ends before them.
    const unsigned char* next(std::size_t length) {
        if (m_buffer.size() - m_at < length) refill(length);
        if (m_buffer.size() - m_at < length) return nullptr;
        const unsigned char* bytes = m_buffer.data() + m_at;
        m_at += length;
        return bytes;
    }

private:
    void refill(std::size_t length) {
        m_buffer.erase(m_buffer.begin(), m_buffer.begin() + static_cast<std::ptrdiff_t>(m_at));
        m_at = 0;
        const std::size_t want = std::max(length, kReadSize);
        while (m_buffer.size() < want && !m_ended) {
            const std::size_t had = m_buffer.size();
            m_buffer.resize(want);
            const ssize_t got = ::pread(m_fd, m_buffer.data() + had, want - had,
                                        static_cast<off_t>(m_offset));
            if (got < 0 && errno == EINTR) {
                m_buffer.resize(had);
                continue;
            }
            if (got < 0) {
                throw jobFailed("cannot read " + m_path + ": " + std::strerror(errno));
            }
            m_buffer.resize(had + static_cast<std::size_t>(got));
            m_offset += static_cast<uint64_t>(got);
            m_ended = got == 0;
        }
    }

    const int m_fd;
    const std::string& m_path;
    std::vector<unsigned char> m_buffer;
    std::size_t m_at = 0;
    uint64_t m_offset = 0;
    bool m_ended = false;
};

}  // namespace

std::optional<WalPages> readWalPages(int fd, const std::string& path, uint64_t maxHeld) {
    WalPages committed;
    LogReader log(fd, path);
    const unsigned char* header = log.next(kHeaderSize);
    if (!header) return committed;
    const uint32_t magic = bigEndian32(header);
    const uint32_t pageSize = bigEndian32(header + 8);
    if ((magic != kMagicLittleEndian && magic != kMagicBigEndian) ||
        bigEndian32(header + 4) != kFormatVersion || pageSize < 512 || pageSize > 65536 ||
        (pageSize & (pageSize - 1)) != 0) {
        return committed;
    }
    Checksum checksum;
    checksum.bigEndian = magic == kMagicBigEndian;
    checksum.add(header, 24);
    if (!checksum.matches(header + 24)) return committed;
    unsigned char salts[8];
    std::memcpy(salts, header + 16, sizeof salts);

    // The frames since the last commit frame: they count once a commit
    // frame ends them.
    std::map<uint64_t, std::string> pending;
    uint64_t pendingNew = 0;  // of those, pages the state does not hold yet
    uint64_t frames = 0;
    for (;;) {
        const unsigned char* frame = log.next(kFrameHeaderSize + pageSize);
        if (!frame) break;
        const uint32_t page = bigEndian32(frame);
        if (page == 0 || std::memcmp(frame + 8, salts, sizeof salts) != 0) break;
        Checksum running = checksum;
        running.add(frame, 8);
        running.add(frame + kFrameHeaderSize, pageSize);
        if (!running.matches(frame + 16)) break;
        checksum = running;
        ++frames;
        auto [version, added] = pending.try_emplace(page);
        version->second.assign(reinterpret_cast<const char*>(frame + kFrameHeaderSize), pageSize);
        if (added && committed.pages.count(page) == 0) ++pendingNew;
        if ((committed.pages.size() + pendingNew) * uint64_t{pageSize} > maxHeld) {
            return std::nullopt;
        }
        const uint32_t databasePages = bigEndian32(frame + 4);
        if (databasePages == 0) continue;
        // A commit: its pages join the state, those past its size leave it.
        for (auto& [number, bytes] : pending) committed.pages[number] = std::move(bytes);
        pending.clear();
        pendingNew = 0;
        committed.pages.erase(committed.pages.upper_bound(databasePages), committed.pages.end());
        committed.pageSize = pageSize;
        committed.databasePages = databasePages;
        committed.frames = frames;
    }
    return committed;
}
