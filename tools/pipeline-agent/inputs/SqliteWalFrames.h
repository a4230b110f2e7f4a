#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

// What a SQLite database's -wal adds to its file, as SQLite's own readers
// take it (the WAL format SQLite documents): the log's header, then frames,
// each a page's new content, that count while they carry the header's
// salts and a running checksum that holds from the header on; a frame with
// a database size in its header ends a transaction (a commit frame). The
// state at the last commit frame is the database file with, for each page
// the log holds up to that frame, its newest version there, cut or grown to
// that frame's size.

// The pages of the last committed state that the log holds.
struct WalPages {
    uint32_t pageSize = 0;       // the log header's; 0 when the log holds no commit
    uint64_t databasePages = 0;  // the database's size at the last commit, in pages
    uint64_t frames = 0;         // the frames up to and with the last commit frame
    std::map<uint64_t, std::string> pages;  // page number (from 1): its newest version

    // The bytes of the pages held.
    uint64_t heldBytes() const { return static_cast<uint64_t>(pages.size()) * pageSize; }
};

// Reads the log at descriptor fd from its start (pread, so the descriptor's
// position is left alone) and returns the pages of its last committed
// state. A log that is empty, cut inside its header or whose header is not
// a sound one of this format holds no commit (SQLite ignores such a log
// too); the frames after the last commit frame, and from the first that does
// not count on, are left out. Returns nullopt when the pages to hold would
// take more than maxHeld bytes. Throws AgentError (failed job) naming path
// when fd cannot be read. Any thread.
std::optional<WalPages> readWalPages(int fd, const std::string& path, uint64_t maxHeld);
