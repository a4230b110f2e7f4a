#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// SQLite databases read as one committed state. A database's file alone,
// read while a writer commits, mixes pages of several states (and, in WAL
// mode, lacks what only its -wal holds); SQLite's online backup, run in one
// step, copies one committed state in one read transaction, -wal content
// included, into a standalone database file, which is then backed up in the
// database's place.

// The size of the header that every SQLite database file starts with,
// "SQLite format 3" and a NUL.
constexpr std::size_t kSqliteHeaderSize = 16;

// Whether bytes (length of them) start with SQLite's header.
bool isSqliteHeader(const char* bytes, std::size_t length);

// How many of a database's first bytes tell its journal: SQLite's header,
// then the versions at bytes 18 and 19.
constexpr std::size_t kSqliteJournalHeaderSize = 20;
// Whether bytes (length of them) are such a header saying WAL mode (both
// versions 2).
bool isSqliteWalHeader(const char* bytes, std::size_t length);

// Why a database that waited busyWait for a writer's lock was not read:
// "a writer held its lock for longer than 300 ms" (or "30 s").
std::string lockHeldTooLong(std::chrono::milliseconds busyWait);

// The line of a job that could not read a database (source) as one
// committed state: "cannot take a consistent snapshot of the SQLite
// database SOURCE: WHY; nothing was backed up".
std::string snapshotFailure(const std::string& source, const std::string& why);

// A consistent copy of one database in a private file of directory (the
// store's tmp/), named "<job>-<n>.sqlite", made 0600 and exclusively, and
// locked (flock) for as long as this object lives so that sweepSnapshots
// can tell it from what a dead job left. The object owns the file and
// removes it when it goes. Used from one thread.
class SqliteSnapshot {
public:
    // Makes directory (0700) when absent, then copies the database at
    // source, opened read-only, with sqlite3_backup_step(-1): one read
    // transaction, so one committed state. A writer holding the lock the
    // copy needs is waited for up to busyWait, the attempts a few ms apart.
    // Throws AgentError (failed job; one line naming source) when the copy
    // cannot be made, leaving no file behind.
    SqliteSnapshot(const std::string& source, const std::string& directory,
                   unsigned long long jobId, unsigned long number,
                   std::chrono::milliseconds busyWait);
    // Removes the file.
    ~SqliteSnapshot();
    SqliteSnapshot(const SqliteSnapshot&) = delete;
    SqliteSnapshot& operator=(const SqliteSnapshot&) = delete;

    const std::string& path() const { return m_path; }
    // The copy's size: the disk it takes in the store while the job runs.
    uint64_t bytes() const { return m_bytes; }
    // How long the copy held its read transaction on the database.
    std::chrono::duration<double> held() const { return m_held; }

private:
    void copy(const std::string& source, std::chrono::milliseconds busyWait);
    void discard();

    std::string m_path;
    int m_fd = -1;
    uint64_t m_bytes = 0;
    std::chrono::duration<double> m_held{0};
};

// Where copies of the open store's backups lie while the jobs read them:
// the store's tmp/, or for a store in object storage the tmp/ of its
// directory on this host (storeHostDirectory). Throws StoreError when no
// store is open.
std::string snapshotDirectory();

// Removes, from directory, the snapshot files ("<job>-<n>.sqlite") that no
// live job holds locked: what a killed backup left. Returns their names.
// Anything else there is left alone; a missing directory holds nothing.
// Never blocks on a lock.
std::vector<std::string> sweepSnapshots(const std::string& directory);
