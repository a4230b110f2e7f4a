#include "wal/WalSegmentHeader.h"

#include <cstring>

#include "wal/WalFileName.h"

namespace {

// Where PostgreSQL's XLogLongPageHeaderData keeps each field: the short
// header is MAXALIGNed to 24 bytes before the long header's fields.
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kInfoAt = 2;
constexpr std::size_t kTimelineAt = 4;
constexpr std::size_t kPageAddressAt = 8;
constexpr std::size_t kRemainingLengthAt = 16;
constexpr std::size_t kSystemIdentifierAt = 24;
constexpr std::size_t kSegmentSizeAt = 32;
constexpr std::size_t kPageSizeAt = 36;

template <typename T>
T fieldAt(std::string_view bytes, std::size_t at) {
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

}  // namespace

std::optional<WalLongPageHeader> parseWalLongPageHeader(std::string_view bytes) {
    if (bytes.size() < kWalLongPageHeaderBytes) return std::nullopt;
    WalLongPageHeader header;
    header.magic = fieldAt<std::uint16_t>(bytes, kMagicAt);
    header.info = fieldAt<std::uint16_t>(bytes, kInfoAt);
    header.timeline = fieldAt<std::uint32_t>(bytes, kTimelineAt);
    header.pageAddress = fieldAt<std::uint64_t>(bytes, kPageAddressAt);
    header.remainingLength = fieldAt<std::uint32_t>(bytes, kRemainingLengthAt);
    header.systemIdentifier = fieldAt<std::uint64_t>(bytes, kSystemIdentifierAt);
    header.segmentSize = fieldAt<std::uint32_t>(bytes, kSegmentSizeAt);
    header.pageSize = fieldAt<std::uint32_t>(bytes, kPageSizeAt);
    return header;
}

std::string walSegmentMismatch(std::string_view name, std::string_view firstBytes,
                               std::uint64_t fileSize) {
    const std::string shown(name);
    const auto parsed = parseWalFileName(name);
    if (!parsed || (parsed->kind != WalFileKind::Segment &&
                    parsed->kind != WalFileKind::PartialSegment)) {
        return shown + " is not the name of a WAL segment";
    }
    const auto header = parseWalLongPageHeader(firstBytes);
    if (!header) {
        return shown + " is not a WAL segment (it has " + std::to_string(firstBytes.size()) +
               " bytes, fewer than a segment's header)";
    }
    if (!WalSegmentSize::isValid(fileSize)) {
        return shown + " is not a WAL segment (its " + std::to_string(fileSize) +
               " bytes are no segment size)";
    }
    const WalSegmentSize size(fileSize);
    if (parsed->seg >= size.segmentsPerLog()) {
        return shown + " is not the name of a WAL segment of " + std::to_string(fileSize) +
               " bytes";
    }
    const WalSegment segment = walSegmentOf(*parsed, size);
    const std::uint64_t start = segmentStartLsn(segment.segno, size);
    const std::string expected = shown + " is not a WAL segment of timeline " +
                                 std::to_string(segment.timeline) + " at " + formatLsn(start) +
                                 " (its header ";
    if ((header->info & kWalLongHeaderFlag) == 0) {
        return expected + "is not a segment's first page header)";
    }
    // The first segment of a new timeline begins as a copy of its parent's,
    // pages and all: its first page may tell an older timeline, never a newer.
    if (header->timeline > segment.timeline) {
        return expected + "says timeline " + std::to_string(header->timeline) + ")";
    }
    if (header->pageAddress != start) {
        return expected + "says " + formatLsn(header->pageAddress) + ")";
    }
    if (header->segmentSize != fileSize) {
        return expected + "says segments of " + std::to_string(header->segmentSize) +
               " bytes, the file has " + std::to_string(fileSize) + ")";
    }
    if (header->pageSize != kWalPageSize) {
        return expected + "says pages of " + std::to_string(header->pageSize) + " bytes, not " +
               std::to_string(kWalPageSize) + ")";
    }
    return "";
}

std::string systemIdentifierText(const WalLongPageHeader& header) {
    return std::to_string(header.systemIdentifier);
}
