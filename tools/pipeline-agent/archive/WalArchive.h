#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "manifest/ClusterRecords.h"

// A store's PostgreSQL archive, as its complete jobs' manifests tell it:
// the WAL files that wal-push kept (jobs whose manifest has "wal") and the
// native base backups (jobs whose manifest has "postgres"). The manifests
// are the record: each is kept in the store before its job is marked
// complete, so a job a kill cut short has none, and neither wal-push nor a
// restore ever takes its files for archived ones.

// One archived WAL file: a segment, a timeline history file, a backup
// history file or a partial segment, by its own name.
struct ArchivedWal {
    std::string name;
    unsigned long long jobId = 0;
    uint64_t size = 0;
    std::string sha256;
    std::string archivedAt;  // its job's creation, UTC, ISO 8601
};

// One complete native base backup.
struct ArchivedBaseBackup {
    unsigned long long jobId = 0;
    ManifestCluster cluster;
};

struct WalArchive {
    // Every archived WAL file by name; a name kept twice (two hosts pushing
    // at once) is the older job's.
    std::map<std::string, ArchivedWal> files;
    std::vector<ArchivedBaseBackup> backups;  // oldest first
    // The timeline history files' text, by name.
    std::map<std::string, std::string> histories;
    // The cluster the store archives for (empty: none yet) and its segment
    // size, from the oldest job that tells them.
    std::string systemIdentifier;
    uint64_t segmentSize = 0;
    // Jobs that tell another cluster than systemIdentifier: a store shared by
    // two clusters, which check names.
    std::vector<unsigned long long> foreignJobs;
    // Every job of WAL files (its manifest has "wal") and the names of all
    // the files it holds, a name kept by an older job too included.
    std::map<unsigned long long, std::vector<std::string>> walJobs;
    // Jobs whose manifest could not be read, when the reader was asked to
    // pass over them.
    std::vector<unsigned long long> unreadable;
};

// Reads the open store's archive: every complete (or damaged) job's
// manifest. Throws AgentError: bad input for a manifest that does not
// parse, a failed job when the store cannot be read; with passOver, a job
// whose manifest does not parse or cannot be read is listed in unreadable
// instead (check names such manifests itself). Needs an open store; any thread, one at a
// time.
WalArchive readWalArchive(bool passOver = false);
