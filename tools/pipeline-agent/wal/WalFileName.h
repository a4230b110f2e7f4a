#pragma once

// The names of the files PostgreSQL hands to its archive_command and asks
// back through its restore_command, and the WAL positions (LSNs) they hold.
// Pure functions of their arguments; any thread may call them.

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The size of a cluster's WAL segments (initdb --wal-segsize): a power of two
// from 1 MiB to 1 GiB.
class WalSegmentSize {
public:
    static constexpr std::uint64_t kDefaultBytes = 16 * 1024 * 1024;

    // Throws AgentError (bad input) when bytes is not a power of two from
    // 1 MiB to 1 GiB.
    explicit WalSegmentSize(std::uint64_t bytes = kDefaultBytes);

    // True when bytes is a size PostgreSQL allows for its segments.
    static bool isValid(std::uint64_t bytes);

    std::uint64_t bytes() const { return m_bytes; }
    // How many segments one 4 GiB "log" (the middle eight digits of a
    // segment's name) holds: 0x100000000 / bytes().
    std::uint64_t segmentsPerLog() const { return 0x100000000ULL / m_bytes; }

    bool operator==(const WalSegmentSize&) const = default;

private:
    std::uint64_t m_bytes;
};

// One segment of the WAL: its timeline and its number, counted in segments
// from the start of the WAL (the LSN of its first byte / segment size).
struct WalSegment {
    std::uint32_t timeline = 0;
    std::uint64_t segno = 0;

    auto operator<=>(const WalSegment&) const = default;
};

enum class WalFileKind {
    Segment,          // TTTTTTTTXXXXXXXXYYYYYYYY
    PartialSegment,   // TTTTTTTTXXXXXXXXYYYYYYYY.partial
    BackupHistory,    // TTTTTTTTXXXXXXXXYYYYYYYY.OOOOOOOO.backup
    TimelineHistory,  // TTTTTTTT.history
};

// A file name that PostgreSQL archives, taken apart. For a timeline history
// file only timeline is set; log and seg are the middle and last eight digits
// of the others; backupOffset is the backup's start offset within its segment.
struct WalFileName {
    WalFileKind kind = WalFileKind::Segment;
    std::uint32_t timeline = 0;
    std::uint32_t log = 0;
    std::uint32_t seg = 0;
    std::uint32_t backupOffset = 0;
    std::string text;

    bool isSegment() const { return kind == WalFileKind::Segment; }
};

// The name taken apart, or nothing when it is not a name PostgreSQL gives an
// archived file: hex digits must be upper case, the length exact, and no
// directory part is allowed. Timeline 0 is refused (PostgreSQL starts at 1).
std::optional<WalFileName> parseWalFileName(std::string_view name);

// The segment a segment, partial segment or backup history file names, for
// a cluster of the given segment size. Throws AgentError (bad input) for a
// timeline history file, or when the last eight digits are not below
// segmentsPerLog() (a name no cluster of that size writes).
WalSegment walSegmentOf(const WalFileName& name, WalSegmentSize size);

// The name PostgreSQL gives a segment: "%08X%08X%08X" of timeline,
// segno / segmentsPerLog and segno % segmentsPerLog. Throws AgentError (bad
// input) when the middle part would not fit in eight digits.
std::string walSegmentName(WalSegment segment, WalSegmentSize size);

// The name of the segment that follows the named one on its timeline:
// 0000000100000000000000FF is followed by 000000010000000100000000 with
// 16 MiB segments. Throws AgentError (bad input) when name is not a segment's
// name for that size.
std::string nextWalSegmentName(std::string_view name, WalSegmentSize size);

// The name of a timeline's history file, "%08X.history".
std::string timelineHistoryName(std::uint32_t timeline);

// An LSN as PostgreSQL writes it ("%X/%X": upper case, no leading zeros),
// and read back from one to eight hex digits of either case on each side of
// the slash; nothing when the text is not of that form.
std::string formatLsn(std::uint64_t lsn);
std::optional<std::uint64_t> parseLsn(std::string_view text);

// The segment number that holds the byte at lsn, and the LSN of a segment's
// first byte.
std::uint64_t segnoOfLsn(std::uint64_t lsn, WalSegmentSize size);
std::uint64_t segmentStartLsn(std::uint64_t segno, WalSegmentSize size);
// The name of the segment that holds the WAL byte just before lsn on
// timeline, as pg_walfile_name gives it: a location at the very start of a
// segment is the end of the segment before.
std::string walFileBefore(std::uint32_t timeline, std::uint64_t lsn, WalSegmentSize size);
