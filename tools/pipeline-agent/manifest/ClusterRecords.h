#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json_fwd.hpp>

// What a manifest records of a PostgreSQL cluster, besides the files: a
// native base backup's facts ("postgres"), or that a job holds archived WAL
// files ("wal"), whose entries are then the WAL files by their own names.

// A base backup's, taken between pg_backup_start and pg_backup_stop. Its
// data directory is the tree named dataDirectory; the WAL from startWal to
// stopWal (on timeline) is what a restore needs at least, in the archive or,
// withWal, in the job itself under pg_wal/.
struct ManifestCluster {
    std::string systemIdentifier;  // decimal, as pg_control_system() gives it
    int serverVersion = 0;         // server_version_num
    unsigned long timeline = 0;
    uint64_t segmentSize = 0;      // wal_segment_size, bytes
    std::string startLsn, stopLsn;  // "X/Y"
    std::string startWal, stopWal;  // the segments that hold them
    std::string startedAt, stoppedAt;  // the server's clock, UTC, ISO 8601
    std::string backupLabel;    // pg_backup_stop's, written as backup_label on restore
    std::string tablespaceMap;  // pg_backup_stop's; empty without tablespaces
    std::string dataDirectory;  // the tree's name in the manifest
    bool withWal = false;
    bool operator==(const ManifestCluster&) const = default;
};

// A job of archived WAL files: whose cluster they belong to, and the text of
// the timeline history files among them (a few lines each), which a restore
// reads to follow timelines without fetching them.
struct ManifestWal {
    std::string systemIdentifier;
    uint64_t segmentSize = 0;
    std::map<std::string, std::string> histories;  // file name -> its text
    bool operator==(const ManifestWal&) const = default;
};

// The records as a manifest writes them, and back. The readers throw
// AgentError (bad input) naming `where` and the field that is missing or of
// another type.
nlohmann::json clusterJson(const ManifestCluster& cluster);
ManifestCluster clusterOf(const nlohmann::json& object, const std::string& where);
nlohmann::json walJson(const ManifestWal& wal);
ManifestWal walOf(const nlohmann::json& object, const std::string& where);
