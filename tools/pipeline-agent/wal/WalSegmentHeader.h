#pragma once

// The long page header that opens every WAL segment, read from the first
// bytes of a segment, and the check that a file is the segment its name
// says. Pure functions of their arguments; any thread may call them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The first page's header of a segment: PostgreSQL's page header (magic,
// info, timeline, page address, remaining length, padded to 24 bytes)
// followed by the long header's system identifier, segment size and page
// size, in the byte order of the host that wrote it.
struct WalLongPageHeader {
    std::uint16_t magic = 0;
    std::uint16_t info = 0;
    std::uint32_t timeline = 0;
    std::uint64_t pageAddress = 0;
    std::uint32_t remainingLength = 0;
    std::uint64_t systemIdentifier = 0;
    std::uint32_t segmentSize = 0;
    std::uint32_t pageSize = 0;
};

// How many bytes of a segment's start the header takes.
inline constexpr std::size_t kWalLongPageHeaderBytes = 40;
// The info bit that marks the long form of the header.
inline constexpr std::uint16_t kWalLongHeaderFlag = 0x0002;
// The page size (XLOG_BLCKSZ) of the clusters the agent archives for.
inline constexpr std::uint32_t kWalPageSize = 8192;

// The header read from bytes (a segment's first bytes, in this host's byte
// order), or nothing when fewer than kWalLongPageHeaderBytes are given.
// Nothing is checked; walSegmentMismatch does that.
std::optional<WalLongPageHeader> parseWalLongPageHeader(std::string_view bytes);

// Empty when firstBytes (at least the first kWalLongPageHeaderBytes of a
// file of fileSize bytes) is the segment, or partial segment, that name says;
// otherwise one line naming the first mismatch, taken in this order: the name
// is no segment's, too few bytes, a file size that is no segment size, the
// name's number beyond that size, no long header flag, a timeline newer than
// the name's (an older one is a new timeline's first segment, copied from
// its parent's up to the switch), the page
// address (the segment's first LSN), the segment size and the page size, e.g.
// "000000010000000000000003 is not a WAL segment of timeline 1 at 0/3000000
// (its header says timeline 2)". The header's magic (which changes with
// PostgreSQL's version) is not looked at.
std::string walSegmentMismatch(std::string_view name, std::string_view firstBytes,
                               std::uint64_t fileSize);

// The cluster's system identifier as pg_controldata prints it (decimal).
std::string systemIdentifierText(const WalLongPageHeader& header);
