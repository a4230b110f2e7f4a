#pragma once

// The catalog of a store behind an interface, so that the store does not
// depend on how the catalog is kept. Internal to the local library.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/storage/FileModes.h"
#include "platform/local/storage/Storage.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

// What the catalog keeps about a new archive file besides its identity.
struct NewArchiveFile {
    unsigned long long jobId = 0;
    unsigned long stream = 0;
    uint64_t typeCode = 0;
    uint64_t dataType = 0;
    std::string setupText;
    std::string createText;
};

struct CatalogJob {
    unsigned long long jobId = 0;
    // "running", "complete", "failed", "deleting" (removed on purpose, its
    // removal begun) or "damaged" (complete, kept on purpose although an
    // archive file of it is damaged)
    std::string state;
    std::string createdAt, updatedAt;
};

// One connection to a store's catalog, made for one operation: connections
// are cheap, and one per operation is safe across threads and processes.
// Every method throws StoreError: Unusable when the catalog is damaged or of
// a newer format, Failed when it cannot be read or written. Archive file
// records come back with the path as the catalog holds it (relative to the
// store) and writerAlive false. A read-only connection refuses every write.
class CatalogBackend {
public:
    virtual ~CatalogBackend() = default;

    // A write transaction, taken at once so that what it reads stays true
    // until it commits; rollback undoes what is not committed.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    // A read transaction: every read until rollback() (or commit()) sees the
    // catalog as one moment left it, whatever other connections commit
    // meanwhile. Allowed on a read-only connection. On SQLite it holds off
    // other connections' commits while it lasts: keep it to the reads.
    virtual void beginRead() = 0;

    // The Trellan id the catalog recorded for its store, if any.
    virtual std::optional<uint32_t> trellanId() = 0;
    virtual void setTrellanId(uint32_t trellanId) = 0;
    // An archive file id above every one the catalog has ever given.
    virtual uint64_t nextArchiveFileId() = 0;

    // Enters a file with the record's identity, job, stream, state, size,
    // path, SHA-256 and times (now, where empty).
    virtual void insertArchiveFile(const ArchiveFileRecord& record, const NewArchiveFile& file) = 0;
    // Marks a "writing" file closed. False when it is not "writing".
    virtual bool markClosed(uint32_t afileId, unsigned long long size, const std::string& sha256) = 0;
    // Marks the job's file invalidated, whatever its state. False when the
    // job has no such file.
    virtual bool invalidate(unsigned long long jobId, uint64_t trellanId, int64_t afileId) = 0;
    virtual void removeArchiveFile(uint32_t afileId) = 0;
    virtual std::optional<ArchiveFileRecord> findArchiveFile(uint32_t trellanId,
                                                             uint32_t groupNumber,
                                                             uint32_t afileId) = 0;
    // Every file, oldest first; of one job only.
    virtual std::vector<ArchiveFileRecord> archiveFiles() = 0;
    virtual std::vector<ArchiveFileRecord> archiveFilesOf(unsigned long long jobId) = 0;

    virtual std::optional<CatalogJob> findJob(unsigned long long jobId) = 0;
    // Enters a job; false when the catalog knows it already.
    virtual bool insertJob(const CatalogJob& job) = 0;
    // False when the catalog does not know the job.
    virtual bool setJobState(unsigned long long jobId, const std::string& state) = 0;
    virtual std::vector<CatalogJob> jobs() = 0;
    // Removes the job's entry and its archive files' entries, whatever their
    // state. False when the catalog did not know the job.
    virtual bool removeJob(unsigned long long jobId) = 0;

    // What the catalog's own consistency check finds; empty: nothing.
    virtual std::vector<std::string> integrityProblems() = 0;
};

// Where a store's catalog is: its canonical directory and, for a catalog in
// PostgreSQL, the connection string that store.ini records (never holding a
// password) and the store's Trellan id, which names the store's schema.
// An empty connection string: SQLite, <store>/catalog.db.
// modes: those of the catalog's files, for a SQLite catalog.
struct CatalogPlace {
    std::string storeDir;
    std::string connection;
    uint32_t trellanId = 0;
    FileModes modes;
    // The store's bytes: its job locks, and the directory syncs of a
    // rebuilt SQLite catalog.
    std::shared_ptr<Storage> storage;
};

// Opens the catalog of the store at place: the one place a catalog is
// opened. A read-write open creates or upgrades it as needed; a read-only
// one never writes. Throws StoreError; Unreachable when the catalog's server
// does not answer.
std::unique_ptr<CatalogBackend> openCatalog(const CatalogPlace& place, Access access);

// Enters a whole catalog's content into an empty catalog, inside a write
// transaction that the caller commits.
using CatalogFill = std::function<void(CatalogBackend& fresh)>;

// Rebuilds the store's catalog: fill enters everything into a new, empty
// catalog made beside the store's, which then takes the catalog's place in
// one atomic step (a rename of the file for SQLite, one transaction for
// PostgreSQL), the old one kept aside (catalog.db.damaged-<time>, or a
// schema renamed <schema>_damaged_<time>). A failure, an exception from fill
// or a kill at any instant before that step leaves the old catalog in place
// and untouched; what was built is dropped by the next rebuild. Returns one
// line for each thing kept or moved. Throws StoreError. Must run while no
// job writes to the store.
std::vector<std::string> rebuildCatalog(const CatalogPlace& place, const CatalogFill& fill);

// A job's liveness lock, held while the object lives.
class JobLock {
public:
    virtual ~JobLock() = default;
    // False once the lock is known lost (the connection that held it
    // dropped): the writer must not report its job complete. For a
    // PostgreSQL lock a round trip to the server, bounded by the
    // connection's keepalives (about 30 s for a server gone silent).
    virtual bool intact() = 0;
};

// Tells a job whose writer lives from one whose writer is gone, on every
// host that shares the store: a file lock in jobs/ for a SQLite catalog, a
// PostgreSQL advisory lock (released by the server when the writer's
// connection drops) for a PostgreSQL one. One object per operation; not
// shared between threads.
class JobLiveness {
public:
    virtual ~JobLiveness() = default;
    // The writer's lock, for the whole of the job: nullptr when another
    // holder has it (this process's included). Throws StoreError.
    virtual std::unique_ptr<JobLock> holdForWriting(unsigned long long jobId) = 0;
    // Takes the job's lock while it is free, so that the job cannot be begun
    // or resumed while the returned object lives; nullptr when its writer
    // lives. Must not outlive this object. Throws StoreError.
    virtual std::unique_ptr<JobLock> probe(unsigned long long jobId) = 0;
    // The jobs the store knows of whose writers live now: those with a lock
    // file in jobs/ for SQLite, those the catalog names for PostgreSQL (a
    // catalog too damaged to list names none). Throws StoreError.
    virtual std::vector<unsigned long long> liveJobs() = 0;
    // A reader's hold on a job's lock (a restore's), shared with other
    // readers: nullptr while a writer or a deleter holds the lock. A reader
    // that may not create the lock where it is missing (a store it may only
    // read) gets a hold that holds nothing. Throws StoreError.
    virtual std::unique_ptr<JobLock> holdForReading(unsigned long long jobId) = 0;
    // A deleter's hold: the lock taken exclusively without waiting, so that
    // no reader, writer or other deleter has the job while it lives; nullptr
    // while anyone holds it. Must not outlive this object. Throws
    // StoreError.
    virtual std::unique_ptr<JobLock> holdForDeleting(unsigned long long jobId) = 0;
};

// The liveness of the store's jobs, by its catalog's kind; connects to a
// PostgreSQL server only when first asked. Throws StoreError.
std::unique_ptr<JobLiveness> openLiveness(const CatalogPlace& place);

// The SQLite and PostgreSQL implementations of the above.
std::unique_ptr<CatalogBackend> openSqliteCatalog(const CatalogPlace& place, Access access);
std::vector<std::string> rebuildSqliteCatalog(const CatalogPlace& place,
                                              const CatalogFill& fill);
std::unique_ptr<JobLiveness> openFileLiveness(const CatalogPlace& place);
std::unique_ptr<CatalogBackend> openPostgresCatalog(const CatalogPlace& place, Access access);
std::vector<std::string> rebuildPostgresCatalog(const CatalogPlace& place,
                                                const CatalogFill& fill);
std::unique_ptr<JobLiveness> openPostgresLiveness(const CatalogPlace& place);

// Checks a PostgreSQL connection string before a store records it: it
// parses (URI, key=value or service=) and holds no password. Throws
// StoreError(Unusable) with one line otherwise.
void checkConnectionString(const std::string& connection);
// Connects once, to tell a bad configuration (Unusable) from a server that
// does not answer (Unreachable) before anything is made. Throws StoreError.
void checkPostgresReachable(const std::string& connection);

// A read transaction on a connection, for the object's life (see
// CatalogBackend::beginRead).
class CatalogReadView {
public:
    explicit CatalogReadView(CatalogBackend& catalog) : m_catalog(catalog) { m_catalog.beginRead(); }
    ~CatalogReadView() { m_catalog.rollback(); }
    CatalogReadView(const CatalogReadView&) = delete;
    CatalogReadView& operator=(const CatalogReadView&) = delete;

private:
    CatalogBackend& m_catalog;
};

// A write transaction on a connection, rolled back unless committed.
class CatalogTransaction {
public:
    explicit CatalogTransaction(CatalogBackend& catalog) : m_catalog(catalog) { m_catalog.begin(); }
    ~CatalogTransaction() {
        if (m_open) m_catalog.rollback();
    }
    CatalogTransaction(const CatalogTransaction&) = delete;
    CatalogTransaction& operator=(const CatalogTransaction&) = delete;
    void commit() {
        m_catalog.commit();
        m_open = false;
    }

private:
    CatalogBackend& m_catalog;
    bool m_open = true;
};

}  // namespace localplatform

#pragma GCC visibility pop
