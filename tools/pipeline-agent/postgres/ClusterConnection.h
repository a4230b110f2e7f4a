#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// libpq's connection (PGconn), seen here only by pointer.
struct pg_conn;

// A PostgreSQL cluster that a base backup copies by its files: one libpq
// connection to its server, what the backup needs to know of the cluster,
// and the two calls that bracket the copy (pg_backup_start, pg_backup_stop).
// The backup is non-exclusive: it lives as long as this connection, and the
// server ends it itself when the connection closes without a stop.

// A tablespace other than pg_default and pg_global: its files lie under
// location, not in the data directory.
struct ClusterTablespace {
    std::string oid;       // its directory's name in pg_tblspc/: "16390"
    std::string name;      // spcname
    std::string location;  // pg_tablespace_location: the absolute path its link points at
};

// What a base backup needs to know of the cluster before it starts.
struct ClusterFacts {
    std::string systemIdentifier;      // pg_control_system(): 19 or so decimal digits
    int serverVersionNum = 0;          // 150004 for 15.4, 90624 for 9.6.24
    std::string catalogVersion;        // pg_control_system()'s catalog_version_no: "202209061"
    std::string dataDirectory;         // SHOW data_directory
    bool dataChecksums = false;        // SHOW data_checksums is on
    std::uint64_t walSegmentBytes = 0; // wal_segment_size, in bytes
    std::uint32_t blockSize = 0;       // the relation files' page size (BLCKSZ)
    std::uint32_t segmentBlocks = 0;   // pages in one relation file segment (RELSEG_SIZE)
    std::uint32_t timeline = 0;        // the last checkpoint's timeline
    bool inRecovery = false;           // a standby (pg_is_in_recovery())
    std::vector<ClusterTablespace> tablespaces;  // by oid

    // The directory in each tablespace's location that holds this server's
    // files ("PG_15_202209061"); the others there belong to other major
    // versions.
    std::string tablespaceVersionDirectory() const;
};

// Where a base backup began: what pg_backup_start returned.
struct BackupStart {
    std::string lsn;         // the start of the WAL the restore replays: "0/2000028"
    std::string walFile;     // the segment file holding it: "000000010000000000000002"
    std::uint32_t timeline = 0;  // the timeline of walFile
    std::string serverTime;  // the server's clock when it returned: "2024-05-01T10:00:00Z"
};

// Where it ended: what pg_backup_stop returned.
struct BackupStop {
    std::string lsn;            // the WAL a restore must replay to, at least
    std::string walFile;        // the segment file holding the WAL just before lsn
    std::string backupLabel;    // the backup_label file the restored data directory needs
    std::string tablespaceMap;  // the tablespace_map file; empty without tablespaces
    std::string serverTime;     // the server's clock when it returned
};

// One connection to a cluster's server, owned from open to destruction.
// Thread-compatible: one thread at a time uses an object; distinct objects
// are independent.
class ClusterConnection {
public:
    // Connects to the server conninfo names (a postgresql:// URI, key=value
    // pairs or service=NAME) within timeout (libpq's connect_timeout, in
    // whole seconds, at least 1); later statements but the backup's two are
    // given as long. Throws AgentError: bad input for a string libpq does not
    // take, or one that holds a password (the agent's command lines and
    // logs would show it); job failed "cannot connect to PostgreSQL:
    // <libpq's reason>" when the server is not reached or refuses, "cannot
    // back up PostgreSQL 9.5: its base backups need 9.6 or later" for an
    // older server. Nothing is left behind on a throw.
    static ClusterConnection open(const std::string& conninfo, std::chrono::milliseconds timeout);

    ClusterConnection(ClusterConnection&& other) noexcept;
    ClusterConnection& operator=(ClusterConnection&& other) noexcept;
    ClusterConnection(const ClusterConnection&) = delete;
    ClusterConnection& operator=(const ClusterConnection&) = delete;

    // Closes the connection. A backup started and not stopped ends with it:
    // the server aborts a non-exclusive backup whose session ends, and the
    // files copied so far make no backup.
    ~ClusterConnection();

    // Reads the cluster's facts. Needs superuser or pg_read_all_settings
    // (the data directory's path is a protected setting): a refusal throws
    // AgentError (job failed) "PostgreSQL refused reading the cluster's
    // facts: <reason> (...)"; see runBounded for the other failures.
    ClusterFacts facts();

    // Starts a non-exclusive base backup labelled label: pg_backup_start
    // (PostgreSQL 15 and later) or pg_start_backup(label, fast, false),
    // which checkpoints first, at once when fast, else spread out as the
    // server's checkpoints are. Waits at most `wait` (a spread checkpoint may
    // take minutes). Throws AgentError (job failed) when the server refuses
    // (the role needs superuser or EXECUTE on the function), a backup runs
    // on this connection already, or the wait passes (the statement is then
    // cancelled, and no backup runs).
    BackupStart startBackup(const std::string& label, bool fast, std::chrono::milliseconds wait);

    // Ends the backup startBackup began: pg_backup_stop(waitForArchive)
    // (15 and later) or pg_stop_backup(false, waitForArchive), which, when
    // waitForArchive, returns only once the last WAL segment the backup
    // needs is archived. Waits at most `wait`. Throws AgentError (job
    // failed) with no backup started, when the server refuses, or when the
    // wait passes; the backup is then no longer counted as running here,
    // and ends with the connection at the latest.
    BackupStop stopBackup(bool waitForArchive, std::chrono::milliseconds wait);

private:
    ClusterConnection(pg_conn* conn, std::chrono::milliseconds wait) : m_conn(conn), m_wait(wait) {}

    pg_conn* m_conn = nullptr;
    std::chrono::milliseconds m_wait;
    bool m_backupRunning = false;
};
