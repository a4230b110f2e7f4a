#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "inputs/InputFile.h"
#include "inputs/PipeInput.h"
#include "inputs/TreeWalk.h"
#include "jobs/backup/WalStream.h"
#include "manifest/ClusterRecords.h"

class ClusterConnection;

// A native base backup of a running PostgreSQL cluster: the backup is
// started (pg_backup_start) on one connection held open until it is
// stopped; meanwhile the data directory is walked and read as a live tree
// (what PostgreSQL's documentation says a base backup leaves out is left
// out, files change while they are read) and its data pages' checksums are
// verified as they are read, when the cluster has them. Tablespaces are
// taken in place: their files restore under pg_tblspc/<oid>/ in the data
// directory. Destroyed without
// finish(), it closes the connection, and the server ends the backup.
// One thread drives it; the page checks run on the reading thread.
class ClusterBackup {
public:
    // Connects with conninfo (no password in it), reads the cluster's facts
    // and starts its backup, labelled with the job id. Throws AgentError:
    // bad input for a connection string with a password, a failed job when
    // the server cannot be reached or refuses.
    // withWal: the WAL from the backup's start to its stop goes into the job
    // itself (walInput), and finish waits for no archive.
    static std::unique_ptr<ClusterBackup> start(const std::string& conninfo,
                                                unsigned long long jobId,
                                                std::chrono::milliseconds timeout,
                                                bool allowBadPages, bool withWal);
    ~ClusterBackup();
    ClusterBackup(const ClusterBackup&) = delete;
    ClusterBackup& operator=(const ClusterBackup&) = delete;

    // The file read after all others: the control file, whose copy must not
    // be older than any data file's.
    static constexpr const char* kReadLast = "global/pg_control";

    // The data directory, as the server names it.
    const std::string& dataDirectory() const;
    // The cluster's system identifier, decimal.
    const std::string& systemIdentifier() const;
    // What the backup takes, as one tree named after the data directory:
    // the data directory's entries, then each tablespace's (this server's
    // directory of its location) under pg_tblspc/<oid>/ in place of the
    // link, the control file last. Walked live (TreeWalkRules::live), the
    // store (when it lies inside) left out. Throws AgentError as walkTree.
    std::vector<TreeEntry> walk(
        const std::function<void(const std::string& path, const char* what)>& skipped,
        const struct stat* store) const;
    // Makes input, the file at relative (to the data directory), read live,
    // its pages checked when it is a relation file of a cluster with data
    // checksums. A bad page is named in a line; it fails the job when read
    // unless bad pages are allowed. Borrowed until the streams end.
    void watch(InputFile& input, const std::string& relative);
    // With withWal: the job's stream input, named after the data directory
    // (".wal"), read after every file: the segments from the backup's start
    // to its stop, one after another, as pg_wal holds them. Its writer, a
    // thread of this object's, stops the backup once the control file was
    // read (watch), then writes them; a failure of its own ends the stream
    // early and is thrown by finish. Nothing without withWal.
    std::unique_ptr<PipeInput> walInput();

    // How many bad pages the reads found.
    unsigned long badPages() const { return m_badPages.load(); }

    // Stops the backup (pg_backup_stop), then waits up to walWait for the
    // store's WAL archive to hold every segment from the backup's start to
    // its stop, and returns what the manifest records of it. With withWal,
    // the backup was stopped by walInput's writer, whose segments the job
    // holds: no archive is waited for. Needs the
    // store open. Throws AgentError (failed job) when the server refuses,
    // bad pages were found and not allowed, or the WAL does not arrive.
    ManifestCluster finish(const std::string& recordedName, std::chrono::milliseconds walWait);

private:
    ClusterBackup() = default;
    struct Started;
    std::unique_ptr<ClusterConnection> m_connection;
    std::unique_ptr<Started> m_started;
    bool m_allowBadPages = false;
    std::atomic<unsigned long> m_badPages{0};
    bool m_withWal = false;
    std::unique_ptr<WalStream> m_walStream;  // with withWal, once walInput made it
};
