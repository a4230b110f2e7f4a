// PostgreSQL's data page checksum and the verdict on one page copied by a
// base backup.

#include "postgres/PageChecksum.h"

#include <array>
#include <cstring>

namespace {

// The page's layout (PageHeaderData): pd_lsn as two 32-bit halves (high
// first), pd_checksum, pd_flags, pd_lower, pd_upper, ...
constexpr std::size_t kLsnHighOffset = 0;
constexpr std::size_t kLsnLowOffset = 4;
constexpr std::size_t kChecksumOffset = 8;
constexpr std::size_t kUpperOffset = 14;

// The sum's parallel columns, its multiplier (FNV-1a's 32-bit prime), and
// the starting value of each column: PostgreSQL's, which the stored sums were
// made with.
constexpr std::size_t kColumns = 32;
constexpr std::uint32_t kFnvPrime = 16777619;
constexpr std::array<std::uint32_t, kColumns> kColumnStarts = {
    0x5B1F36E9, 0xB8525960, 0x02AB50AA, 0x1DE66D2A, 0x79FF467A, 0x9BB9F8A3, 0x217E7CD2,
    0x83E13D2C, 0xF8D4474F, 0xE39EB970, 0x42C6AE16, 0x993216FA, 0x7B093B5D, 0x98DAFF3C,
    0xF718902A, 0x0B1C9CDB, 0xE58F764B, 0x187636BC, 0x5D7B3BB1, 0xE73DE7DE, 0x92BEC979,
    0xCCA6C0B2, 0x304A0979, 0x85AA43D4, 0x783125BB, 0x6CA8EAA2, 0xE407EAC6, 0x4B5CFC3E,
    0x9FBF8C76, 0x15CA20BE, 0xF2CA9FD3, 0x959BD756};

template <typename T>
T readAt(const char* page, std::size_t offset) {
    T value;
    std::memcpy(&value, page + offset, sizeof value);
    return value;
}

// One step of a column: FNV-1a's multiply with the high bits folded back in.
inline void mix(std::uint32_t& sum, std::uint32_t value) {
    const std::uint32_t folded = sum ^ value;
    sum = (folded * kFnvPrime) ^ (folded >> 17);
}

}  // namespace

std::uint16_t storedChecksum(const char* page) {
    return readAt<std::uint16_t>(page, kChecksumOffset);
}

std::uint64_t pageLsn(const char* page) {
    return (std::uint64_t{readAt<std::uint32_t>(page, kLsnHighOffset)} << 32) |
           readAt<std::uint32_t>(page, kLsnLowOffset);
}

std::uint16_t pageChecksum(const char* page, std::uint32_t blockNumber) {
    constexpr std::size_t kWordBytes = sizeof(std::uint32_t);
    constexpr std::size_t kRows = kPageBytes / (kWordBytes * kColumns);
    // The word that holds pd_checksum counts with those two bytes as zero.
    constexpr std::size_t kChecksumWord = kChecksumOffset / kWordBytes;
    char checksumWord[kWordBytes];
    std::memcpy(checksumWord, page + kChecksumWord * kWordBytes, kWordBytes);
    std::memset(checksumWord + kChecksumOffset % kWordBytes, 0, sizeof(std::uint16_t));

    std::array<std::uint32_t, kColumns> sums = kColumnStarts;
    for (std::size_t row = 0; row < kRows; ++row) {
        for (std::size_t column = 0; column < kColumns; ++column) {
            const std::size_t word = row * kColumns + column;
            mix(sums[column], word == kChecksumWord
                                  ? readAt<std::uint32_t>(checksumWord, 0)
                                  : readAt<std::uint32_t>(page, word * kWordBytes));
        }
    }
    // Two rounds of zeros spread the last words' bits.
    for (int round = 0; round < 2; ++round) {
        for (std::uint32_t& sum : sums) mix(sum, 0);
    }
    std::uint32_t result = 0;
    for (const std::uint32_t sum : sums) result ^= sum;
    result ^= blockNumber;
    // Never 0: 1..65535.
    return static_cast<std::uint16_t>(result % 65535 + 1);
}

PageVerdict verifyPage(const char* page, std::uint32_t blockNumber, std::uint64_t backupStartLsn) {
    bool allZero = true;
    for (std::size_t i = 0; i < kPageBytes && allZero; ++i) allZero = page[i] == 0;
    if (allZero) return PageVerdict::New;
    if (pageLsn(page) >= backupStartLsn) return PageVerdict::ChangedDuringBackup;
    if (readAt<std::uint16_t>(page, kUpperOffset) == 0) return PageVerdict::Corrupt;
    return pageChecksum(page, blockNumber) == storedChecksum(page) ? PageVerdict::Valid
                                                                   : PageVerdict::Corrupt;
}
