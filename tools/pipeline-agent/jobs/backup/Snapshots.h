#pragma once

#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "inputs/InputFile.h"
#include "inputs/SqliteSnapshot.h"
#include "jobs/backup/BackupJob.h"
#include "jobs/backup/BackupSet.h"

// What the streams read of the files named directly: each file, or the
// consistent snapshot of a SQLite database.
struct Snapshots {
    std::vector<std::unique_ptr<SqliteSnapshot>> snapshots;  // removed when they go
    std::vector<std::unique_ptr<InputFile>> snapshotInputs;
    std::vector<const InputFile*> read;  // [named]: the file, or its snapshot
    nlohmann::ordered_json json = nlohmann::ordered_json::array();  // --json's sqliteSnapshots
};

// Takes a snapshot of each SQLite database named directly (unless
// options.raw) in the open store's tmp/, waiting up to
// options.sqliteBusyWaitMs for a writer's lock, and says for each what it
// takes in the store and how long the copy held its read transaction. The
// returned snapshots stay in the store until they are destroyed (the job's
// end). On a failure, the snapshots taken are removed, job jobId (begun) is
// marked failed and the error is rethrown. The job's thread.
Snapshots takeSnapshots(const BackupOptions& options, const BackupSet& set,
                        unsigned long long jobId);

// What the streams read, in the set's order: each file named directly (or
// its snapshot), each file of a tree, but those unchanged since the job the
// backup is compared with. Borrows from set and snapshots.
std::vector<const InputFile*> readList(const BackupSet& set, const Snapshots& snapshots);
