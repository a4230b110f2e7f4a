#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "inputs/SqliteWalFrames.h"

struct sqlite3;

// A SQLite database in WAL mode read where it lies as one committed state,
// with no copy of it anywhere: the state at the last commit of its -wal,
// read after a read transaction on the database began and held until this
// object goes. What that needs of SQLite, all of it documented behaviour of
// WAL mode:
// - a checkpoint copies into the database file only pages of frames up to
//   the end mark of every reader that is still reading, and never rewinds
//   the -wal while a reader uses it: so while the transaction is held, the
//   database file changes only in pages that the -wal holds up to that end
//   mark, and those frames stay where they are;
// - the -wal's format: its header, its frames, their salts and running
//   checksum, and its commit frames (SqliteWalFrames).
// The -wal is read once the transaction has begun, and every page it holds
// up to its last commit frame (that transaction's end mark or later) is
// kept in memory; every other page is read from the database file, which
// then holds it as it was at that commit.
//
// The database file is opened before SQLite opens the database and closed
// after SQLite closed it: closing a descriptor of a file drops every lock
// the process holds on it, SQLite's too.
class SqliteWalImage {
public:
    // Begins a read transaction on the database at source (opened read-only)
    // and reads its -wal. Returns null, holding nothing, when the database
    // is not in WAL mode as SQLite reports its journal within that
    // transaction (whyNot left empty), or when the pages its -wal
    // holds would take more than maxHeld bytes (whyNot says so): it is then
    // to be copied instead. A lock the transaction needs that a writer holds
    // is waited for up to busyWait. Throws AgentError (failed job: the
    // bare reason, "a writer held its lock for longer than 300 ms") when
    // the database cannot be read. The job's thread.
    static std::unique_ptr<SqliteWalImage> take(const std::string& source,
                                                std::chrono::milliseconds busyWait,
                                                uint64_t maxHeld, std::string& whyNot);
    // Ends the transaction, then closes the database and the files.
    ~SqliteWalImage();
    SqliteWalImage(const SqliteWalImage&) = delete;
    SqliteWalImage& operator=(const SqliteWalImage&) = delete;

    // The state's size in bytes.
    uint64_t size() const { return m_size; }
    // What the database file was when the transaction had begun.
    const struct stat& status() const { return m_status; }
    // The bytes of the -wal's pages held in memory.
    uint64_t heldBytes() const { return m_wal.heldBytes(); }
    // How long it took to begin the transaction and read the -wal.
    std::chrono::duration<double> took() const { return m_took; }

    // Reads the state's bytes [offset, offset + length), which must lie
    // within size(). Throws AgentError (failed job) when the database file
    // cannot be read, or ends before a page that the -wal does not hold.
    // Any thread.
    void readAt(char* data, std::size_t length, uint64_t offset) const;

private:
    explicit SqliteWalImage(const std::string& source);
    bool begin(std::chrono::milliseconds busyWait);
    void end();

    std::string m_source;
    int m_databaseFd = -1;
    int m_walFd = -1;
    sqlite3* m_db = nullptr;
    struct stat m_status{};
    WalPages m_wal;
    uint64_t m_size = 0;
    std::chrono::duration<double> m_took{0};
};
