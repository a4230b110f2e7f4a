#pragma once

// A store on disk: its canonical place, identity file, paths, the job locks
// and completion markers in jobs/, the safe opening of archive data, and
// this process's registries of the jobs it began and the files it created.
// Internal to the local library.

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/catalog/CatalogBackend.h"
#include "platform/local/storage/FileModes.h"
#include "platform/local/storage/Storage.h"
#include "platform/local/store/StreamNumbering.h"
#include "platform/local/store/WriterRegistry.h"

// Internal to the library: none of it is exported.
#pragma GCC visibility push(hidden)

namespace localplatform {

class Store : public std::enable_shared_from_this<Store> {
public:
    // Opens (and, for ReadWrite with create, makes) the store at dir, by its
    // canonical path. catalog: the PostgreSQL connection string a store made
    // now records (empty: SQLite); it is checked, and its server reached,
    // before anything is made, and an existing store must record the same.
    // fallback: the one a store made now records when catalog is empty; an
    // existing store keeps its own. shareGroup: the group a store made now
    // is shared with (empty: none, the store is its owner's alone); an
    // existing store must record the same when one is given. Throws
    // StoreError. Every byte of the store goes through storage.
    // clearPlaces (ReadWrite): what stands where jobs/ belongs and is no
    // folder is cleared (clearPlace) instead of refused.
    static std::shared_ptr<Store> open(std::shared_ptr<Storage> storage, const std::string& dir,
                                       Access access, bool create, const std::string& catalog = "",
                                       const std::string& fallback = "",
                                       const std::string& shareGroup = "",
                                       bool clearPlaces = false);
    ~Store();

    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    const std::string& directory() const { return m_dir; }
    std::string filesDirectory() const { return m_dir + "/files"; }
    std::string jobsDirectory() const { return m_dir + "/jobs"; }
    bool readOnly() const { return m_access == Access::ReadOnly; }
    uint32_t trellanId() const { return m_trellanId; }

    // A new connection to the catalog, and where the catalog is.
    std::unique_ptr<CatalogBackend> catalog() const;
    CatalogPlace catalogPlace() const {
        return {m_dir, m_connection, m_trellanId, m_modes, m_storage};
    }
    // Where the store's files are made, written, read and removed.
    Storage& storage() const { return *m_storage; }
    // The modes and group of everything made in the store.
    const FileModes& modes() const { return m_modes; }
    // A new means of telling live jobs from dead ones, for one operation.
    std::unique_ptr<JobLiveness> liveness() const;
    // Throws StoreError(Unusable) on a read-only store.
    void requireWritable(const char* operation) const;

    // Where archive file afileId and its description live, relative to the
    // store, and the full paths.
    static std::string relativeDataPath(uint64_t afileId);
    std::string dataPath(uint64_t afileId) const;
    std::string sidecarPath(uint64_t afileId) const;
    // The full path of a catalog path. False, with *why set, for a path that
    // is absolute, contains "..", or is not directly in files/.
    bool resolve(const std::string& catalogPath, std::string* full, std::string* why) const;
    // A record with its path made full (left as the catalog has it when it
    // is refused).
    ArchiveFileRecord withFullPath(ArchiveFileRecord record) const;

    // Opens archive data read-only without ever blocking: a FIFO, directory,
    // symbolic link or device is refused. Returns the file, or null with
    // *error set.
    std::unique_ptr<StorageFile> openData(const std::string& path, std::string* error) const;

    // The job's completion marker, and the manifest the store keeps of it.
    std::string markerPath(unsigned long long jobId) const;
    std::string manifestPath(unsigned long long jobId) const;
    bool completionMarked(unsigned long long jobId) const;
    // True when the job's writer holds its liveness lock (this process
    // included).
    bool jobLockHeld(unsigned long long jobId) const;

    // Enters the job as running, its liveness lock held by this process;
    // throws StoreError (JobExists) for a job the store knows, begun here
    // included. createdAt: its creation time as the catalog records it;
    // empty: now.
    void beginJob(unsigned long long jobId, const std::string& createdAt = "");
    // Begins the job unless this process already has, as one step, so that
    // the first creations of a job on several threads begin it once.
    void joinJob(unsigned long long jobId);
    // Begins again a job that failed and has no archive file left (see
    // localplatform::beginJobAgain).
    void beginJobAgain(unsigned long long jobId, const std::string& createdAt);
    // Takes over a job whose writer is gone and closes its files as they
    // stand (localplatform::resumeJob).
    std::vector<ArchiveFileRecord> resumeJob(unsigned long long jobId);
    void completeJob(unsigned long long jobId);
    void failJob(unsigned long long jobId) noexcept;
    // Releases the locks of every job begun here.
    void releaseJobs();

    // What was cleared since the store was opened (clearPlace's lines).
    const std::vector<std::string>& clearedPlaces() const { return m_cleared; }
    void noteCleared(std::string line) { m_cleared.push_back(std::move(line)); }

    // This process's backup streams and the files it created for them.
    WriterRegistry& writers() { return m_writers; }
    StreamNumbering& numbering() { return m_numbering; }

private:
    // True when a fresh look at the catalog finds the job complete; false
    // also when the catalog cannot be reached.
    bool completeInCatalog(unsigned long long jobId) const noexcept;
    // beginJob with m_mutex held.
    void beginLocked(unsigned long long jobId, const std::string& createdAt = "");
    // Closes an archive file of a job taken over at the bytes it holds.
    void closeAsItStands(ArchiveFileRecord& file);
    Store(std::shared_ptr<Storage> storage, std::string dir, Access access);
    void setUp(bool create, const std::string& catalog, const std::string& fallback,
               const std::string& shareGroup, bool clearPlaces);
    void readOrMakeIdentity(const std::string& catalog, const std::string& fallback,
                            const std::string& shareGroup);
    // Makes store.ini at path for a store that has none (ReadWrite): its
    // Trellan id that of a first-format catalog.db, else a new one; catalog,
    // else fallback, the connection string it records. Returns false, making
    // nothing, on a ReadOnly store, whose Trellan id is then its catalog.db's
    // (0 without one). Throws StoreError.
    bool makeIdentity(const std::string& path, const std::string& catalog,
                      const std::string& fallback, const std::string& shareGroup);

    const std::shared_ptr<Storage> m_storage;
    const std::string m_dir;
    const Access m_access;
    uint32_t m_trellanId = 0;
    std::string m_connection;  // the PostgreSQL catalog's; empty: SQLite
    FileModes m_modes;         // private until store.ini names a group

    std::mutex m_mutex;
    std::map<unsigned long long, std::unique_ptr<JobLock>> m_locks;  // jobs begun here
    WriterRegistry m_writers;
    StreamNumbering m_numbering;
    std::vector<std::string> m_cleared;
};

// Clears path of what stands there when it is not of the kind that belongs
// there: a symbolic link is removed (the link itself, never what it leads
// to), anything else is renamed aside to path.unusable-<UTC time>, nothing
// of it removed. Returns the line that says what was done; empty when path
// is free or of that kind. Throws StoreError (Unusable) when it cannot.
std::string clearPlace(Storage& storage, const std::string& path, EntryStatus::Kind belongs);

}  // namespace localplatform

#pragma GCC visibility pop
