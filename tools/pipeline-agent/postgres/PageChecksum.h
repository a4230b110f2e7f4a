#pragma once

#include <cstddef>
#include <cstdint>

// PostgreSQL's data page checksums: what a cluster initialised with
// --data-checksums (or switched on by pg_checksums) stores in the
// pd_checksum field of every page it writes to a relation file, and the
// check a base backup makes of each page it copies. The pages are read in
// the byte order of the host, which is the server's: the files are this
// machine's own.

// The size of a page this check takes (PostgreSQL's default BLCKSZ).
constexpr std::size_t kPageBytes = 8192;

// What verifyPage found out about one page.
enum class PageVerdict {
    Valid,                // its checksum is the one it stores
    New,                  // all zeros: allocated, never written, carries no checksum
    ChangedDuringBackup,  // written after the backup began (pd_lsn at or past its start):
                          // it may be torn, and replaying the WAL writes it whole
    Corrupt,              // its checksum differs, or its header says new while its
                          // bytes are not all zero
};

// The checksum PostgreSQL computes for page (kPageBytes bytes) at absolute
// block number blockNumber of its relation (the block within the file plus
// the blocks of the segments before it): the FNV-1a-based sum over 32
// columns of 32-bit words, taken with pd_checksum as zero, the block number
// mixed in, reduced to 1..65535. page is only read; it needs no alignment.
std::uint16_t pageChecksum(const char* page, std::uint32_t blockNumber);

// The checksum page stores (pd_checksum) and the LSN of its last change
// (pd_lsn).
std::uint16_t storedChecksum(const char* page);
std::uint64_t pageLsn(const char* page);

// The verdict on page (kPageBytes bytes) at absolute block number
// blockNumber, for a base backup that began at WAL location backupStartLsn.
// In that order: an all-zero page is New, a page changed since the start is
// ChangedDuringBackup, a page whose pd_upper is 0 is Corrupt, otherwise
// Valid when its stored and computed checksums agree, else Corrupt. Pure;
// any thread.
PageVerdict verifyPage(const char* page, std::uint32_t blockNumber, std::uint64_t backupStartLsn);
