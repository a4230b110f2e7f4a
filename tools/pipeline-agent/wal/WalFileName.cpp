#include "wal/WalFileName.h"

#include <cstdio>

#include "base/AgentError.h"

namespace {

constexpr std::size_t kSegmentNameLength = 24;
constexpr std::string_view kPartialSuffix = ".partial";
constexpr std::string_view kBackupSuffix = ".backup";
constexpr std::string_view kHistorySuffix = ".history";

bool isUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Eight upper-case hex digits at text[at...] as a number, or nothing.
std::optional<std::uint32_t> eightHex(std::string_view text, std::size_t at) {
    if (text.size() < at + 8) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = at; i < at + 8; ++i) {
        if (!isUpperHex(text[i])) return std::nullopt;
        value = value * 16 + static_cast<std::uint32_t>(hexValue(text[i]));
    }
    return value;
}

std::string hex8(std::uint32_t value) {
    char buffer[9];
    std::snprintf(buffer, sizeof buffer, "%08X", value);
    return buffer;
}

}  // namespace

WalSegmentSize::WalSegmentSize(std::uint64_t bytes) : m_bytes(bytes) {
    if (!isValid(bytes)) {
        throw badInput("a WAL segment size of " + std::to_string(bytes) +
                       " bytes is not a power of two from 1 MiB to 1 GiB");
    }
}

bool WalSegmentSize::isValid(std::uint64_t bytes) {
    return bytes >= (1ULL << 20) && bytes <= (1ULL << 30) && (bytes & (bytes - 1)) == 0;
}

std::optional<WalFileName> parseWalFileName(std::string_view name) {
    WalFileName parsed;
    parsed.text = std::string(name);
    if (name.size() == 8 + kHistorySuffix.size() && name.substr(8) == kHistorySuffix) {
        const auto timeline = eightHex(name, 0);
        if (!timeline || *timeline == 0) return std::nullopt;
        parsed.kind = WalFileKind::TimelineHistory;
        parsed.timeline = *timeline;
        return parsed;
    }
    if (name.size() < kSegmentNameLength) return std::nullopt;
    const auto timeline = eightHex(name, 0);
    const auto log = eightHex(name, 8);
    const auto seg = eightHex(name, 16);
    if (!timeline || !log || !seg || *timeline == 0) return std::nullopt;
    parsed.timeline = *timeline;
    parsed.log = *log;
    parsed.seg = *seg;
    const std::string_view rest = name.substr(kSegmentNameLength);
    if (rest.empty()) {
        parsed.kind = WalFileKind::Segment;
    } else if (rest == kPartialSuffix) {
        parsed.kind = WalFileKind::PartialSegment;
    } else if (rest.size() == 1 + 8 + kBackupSuffix.size() && rest[0] == '.' &&
               rest.substr(9) == kBackupSuffix) {
        const auto offset = eightHex(rest, 1);
        if (!offset) return std::nullopt;
        parsed.kind = WalFileKind::BackupHistory;
        parsed.backupOffset = *offset;
    } else {
        return std::nullopt;
    }
    return parsed;
}

WalSegment walSegmentOf(const WalFileName& name, WalSegmentSize size) {
    if (name.kind == WalFileKind::TimelineHistory) {
        throw badInput(name.text + " is a timeline history file, not a segment");
    }
    if (name.seg >= size.segmentsPerLog()) {
        throw badInput(name.text + " is not the name of a segment of " +
                       std::to_string(size.bytes()) + " bytes");
    }
    return {name.timeline, std::uint64_t{name.log} * size.segmentsPerLog() + name.seg};
}

std::string walSegmentName(WalSegment segment, WalSegmentSize size) {
    const std::uint64_t log = segment.segno / size.segmentsPerLog();
    if (log > 0xFFFFFFFFULL) {
        throw badInput("segment number " + std::to_string(segment.segno) +
                       " is beyond the end of the WAL");
    }
    return hex8(segment.timeline) + hex8(static_cast<std::uint32_t>(log)) +
           hex8(static_cast<std::uint32_t>(segment.segno % size.segmentsPerLog()));
}

std::string nextWalSegmentName(std::string_view name, WalSegmentSize size) {
    const auto parsed = parseWalFileName(name);
    if (!parsed || !parsed->isSegment()) {
        throw badInput(std::string(name) + " is not the name of a WAL segment");
    }
    WalSegment segment = walSegmentOf(*parsed, size);
    ++segment.segno;
    return walSegmentName(segment, size);
}

std::string timelineHistoryName(std::uint32_t timeline) {
    return hex8(timeline) + std::string(kHistorySuffix);
}

std::string formatLsn(std::uint64_t lsn) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%X/%X", static_cast<unsigned>(lsn >> 32),
                  static_cast<unsigned>(lsn & 0xFFFFFFFFULL));
    return buffer;
}

std::optional<std::uint64_t> parseLsn(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::uint64_t halves[2] = {0, 0};
    const std::string_view parts[2] = {text.substr(0, slash), text.substr(slash + 1)};
    for (int i = 0; i < 2; ++i) {
        if (parts[i].empty() || parts[i].size() > 8) return std::nullopt;
        for (char c : parts[i]) {
            const int digit = hexValue(c);
            if (digit < 0) return std::nullopt;
            halves[i] = halves[i] * 16 + static_cast<std::uint64_t>(digit);
        }
    }
    return (halves[0] << 32) | halves[1];
}

std::uint64_t segnoOfLsn(std::uint64_t lsn, WalSegmentSize size) { return lsn / size.bytes(); }

std::uint64_t segmentStartLsn(std::uint64_t segno, WalSegmentSize size) {
    return segno * size.bytes();
}

std::string walFileBefore(std::uint32_t timeline, std::uint64_t lsn, WalSegmentSize size) {
    return walSegmentName({timeline, segnoOfLsn(lsn == 0 ? 0 : lsn - 1, size)}, size);
}
