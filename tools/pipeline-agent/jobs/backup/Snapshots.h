#pragma once

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "inputs/InputFile.h"
#include "inputs/SqliteSnapshot.h"
#include "inputs/SqliteWalImage.h"
#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupSet.h"

// What the streams read of the files named directly: each file, or one
// committed state of a SQLite database: read where it lies (WAL mode), or
// from a copy.
struct Snapshots {
    std::vector<std::unique_ptr<SqliteWalImage>> images;  // their transactions end when they go
    std::vector<std::unique_ptr<SqliteSnapshot>> snapshots;  // removed when they go
    std::vector<std::unique_ptr<InputFile>> snapshotInputs;
    std::vector<const InputFile*> read;  // [named]: the file, or its snapshot
    nlohmann::ordered_json json = nlohmann::ordered_json::array();  // --json's sqliteSnapshots
};

// The most of a database's -wal that a backup holds in memory.
constexpr uint64_t kHeldWalBytes = 64ull << 20;

// Takes one committed state of each SQLite database named directly (unless
// options.raw), waiting up to options.sqliteBusyWaitMs for a writer's lock:
// a database whose header says WAL mode is read where it lies, under a read
// transaction held until the returned value goes (SqliteWalImage), unless
// its -wal holds more than kHeldWalBytes of pages; any other is copied into
// snapshotDirectory() (SqliteSnapshot), where the copy stays until the
// returned value goes. Says of each how it is read: what its -wal holds in
// memory, or what its copy takes (in the store when copiesInStore, else
// on this host) and how long the copy held its read transaction. On a
// failure, what was taken is let go, job jobId (begun) is marked failed and
// the error is rethrown. The job's thread.
Snapshots takeSnapshots(const BackupOptions& options, const BackupSet& set,
                        unsigned long long jobId, bool copiesInStore);

// What the streams read, in the set's order: each file named directly (or
// its snapshot), each file of a tree, but those unchanged since the job the
// backup is compared with. Borrows from set and snapshots.
std::vector<const InputFile*> readList(const BackupSet& set, const Snapshots& snapshots);
