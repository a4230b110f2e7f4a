#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Locations in a PostgreSQL cluster's write-ahead log (LSNs) as the server
// writes them ("16/B374D848": the high and low 32 bits in hexadecimal), and
// the names of the WAL segment files that hold them. Pure; any thread.

// The location text names, or nothing when it is not two hexadecimal
// numbers of at most 8 digits joined by '/'.
std::optional<std::uint64_t> parseLsn(std::string_view text);

// lsn as the server writes it: upper-case hexadecimal, no leading zeros.
std::string formatLsn(std::uint64_t lsn);

// The name of the segment file (24 hexadecimal digits: timeline, then the
// segment number in two halves) that holds the WAL byte just before lsn, as
// pg_walfile_name gives it: a location at the very start of a segment is
// the end of the segment before. segmentBytes is the cluster's
// wal_segment_size, a power of two from 1 MiB to 1 GiB.
std::string walFileName(std::uint32_t timeline, std::uint64_t lsn, std::uint64_t segmentBytes);

// The timeline a segment file's name starts with (its first 8 hexadecimal
// digits), or nothing when name is not 24 hexadecimal digits.
std::optional<std::uint32_t> timelineOfWalFile(std::string_view name);
