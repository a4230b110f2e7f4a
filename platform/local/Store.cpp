// A store on disk. Everything it reads, writes or removes lies in its
// canonical directory: store.ini, catalog.db, files/ and jobs/.

#include "platform/local/Store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/local/ArchiveWriter.h"
#include "platform/local/Durable.h"
#include "platform/local/LocalState.h"

namespace localplatform {

namespace {

constexpr unsigned kStoreFormat = 1;

[[noreturn]] void unusable(const std::string& what) {
    throw StoreError(StoreError::Kind::Unusable, what);
}

void checkConnectionStringIfAny(const std::string& connection) {
    if (!connection.empty()) checkConnectionString(connection);
}

bool present(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

// Entries that a directory may hold before it is made a store.
bool allowedBeforeStore(const std::string& name) {
    return name == "." || name == ".." || name == "files" || name == "jobs" ||
           name == "settings.ini" || name.rfind("store.ini.new-", 0) == 0;
}

void makeDirectory(const std::string& path, const FileModes& modes) {
    if (!makeStoreDirectory(path, modes)) unusable(systemError("cannot create", path));
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        unusable(path + " is not a directory");
    }
}

struct Identity {
    unsigned format = 0;
    uint32_t trellanId = 0;
    std::string catalog;  // PostgreSQL connection string; empty: SQLite
    std::string group;    // the group the store is shared with; empty: none
};

// store.ini: "key=value" lines, '#' comments.
bool readIdentityFile(const std::string& path, Identity* identity, std::string* why) {
    std::ifstream file(path);
    if (!file) {
        *why = systemError("cannot read", path);
        return false;
    }
    Identity read;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
        const char* end = value.data() + value.size();
        if (key == "format") std::from_chars(value.data(), end, read.format);
        if (key == "trellan_id") std::from_chars(value.data(), end, read.trellanId);
        if (key == "catalog") read.catalog = value;
        if (key == "group") read.group = value;
    }
    if (read.format == 0 || read.trellanId == 0) {
        *why = path + " names no format or Trellan id";
        return false;
    }
    *identity = read;
    return true;
}

}  // namespace

Store::Store(std::string dir, Access access) : m_dir(std::move(dir)), m_access(access) {}

Store::~Store() { releaseJobs(); }

std::shared_ptr<Store> Store::open(const std::string& dir, Access access, bool create,
                                   const std::string& catalog, const std::string& fallback,
                                   const std::string& shareGroup) {
    const bool mayCreate = access == Access::ReadWrite && create;
    // A catalog named for a store about to be made is checked, and its
    // server reached, before anything is made.
    const bool made = present(dir + "/store.ini") || present(dir + "/catalog.db");
    const std::string& named = catalog.empty() && !made ? fallback : catalog;
    if (!named.empty()) checkConnectionString(named);
    if (mayCreate && !made && !named.empty()) checkPostgresReachable(named);
    struct stat status {};
    if (::stat(dir.c_str(), &status) != 0) {
        if (errno != ENOENT) unusable(systemError("cannot reach the store", dir));
        if (!mayCreate) throw StoreError(StoreError::Kind::NotFound, "there is no store at " + dir);
        // The folders above the store are the user's; the store's own is
        // made with the store's modes.
        std::error_code error;
        std::filesystem::path path(dir);
        if (path.filename().empty()) path = path.parent_path();
        if (path.has_parent_path() && path.parent_path() != path) {
            std::filesystem::create_directories(path.parent_path(), error);
        }
        if (error || !makeStoreDirectory(path.string(), fileModesFor(shareGroup))) {
            unusable("cannot create the store " + dir + ": " +
                     (error ? error.message() : std::string(std::strerror(errno))));
        }
    }
    char* real = ::realpath(dir.c_str(), nullptr);
    if (!real) unusable(systemError("cannot resolve the store", dir));
    std::string canonical = real;
    std::free(real);
    if (::stat(canonical.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        unusable("the store " + canonical + " is not a directory");
    }
    std::shared_ptr<Store> store(new Store(canonical, access));
    store->setUp(mayCreate, catalog, fallback, shareGroup);
    return store;
}

void Store::setUp(bool create, const std::string& connection, const std::string& fallback,
                  const std::string& shareGroup) {
    const bool isStore = present(m_dir + "/store.ini") || present(m_dir + "/catalog.db");
    if (!isStore) {
        if (!create) throw StoreError(StoreError::Kind::NotFound, "there is no store at " + m_dir);
        DIR* listing = ::opendir(m_dir.c_str());
        if (!listing) unusable(systemError("cannot read", m_dir));
        std::string foreign;
        while (const dirent* entry = ::readdir(listing)) {
            if (!allowedBeforeStore(entry->d_name)) foreign = entry->d_name;
        }
        ::closedir(listing);
        if (!foreign.empty()) {
            unusable(m_dir + " is not a store: it holds " + foreign +
                     " but no store.ini or catalog.db");
        }
    }
    if (m_access == Access::ReadWrite) {
        if (::access(m_dir.c_str(), W_OK) != 0) {
            unusable(systemError("no permission to write the store", m_dir));
        }
    }
    readOrMakeIdentity(connection, fallback, shareGroup);
    if (m_access == Access::ReadWrite) {
        makeDirectory(filesDirectory(), m_modes);
        makeDirectory(jobsDirectory(), m_modes);
    } else if (present(filesDirectory())) {
        struct stat status {};
        if (::lstat(filesDirectory().c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            unusable(filesDirectory() + " is not a directory");
        }
    }
    if (m_access == Access::ReadWrite) {
        // Makes or upgrades the catalog. A damaged one is left for check
        // --repair; every operation that needs it reports it.
        try {
            auto connection = catalog();
            if (!connection->trellanId()) connection->setTrellanId(m_trellanId);
        } catch (const StoreError& error) {
            if (error.kind() != StoreError::Kind::Unusable || !m_connection.empty()) throw;
        }
    } else if (!m_connection.empty()) {
        // A server that cannot be reached fails the opening, before any
        // work; a schema that is missing or damaged is for check to report.
        checkPostgresReachable(m_connection);
    }
}

// The identity file is written once: to a file of its own, then linked into
// place, which fails when another process got there first; then everyone
// reads the winner's.
void Store::readOrMakeIdentity(const std::string& catalog, const std::string& fallback,
                               const std::string& shareGroup) {
    const std::string path = m_dir + "/store.ini";
    Identity identity;
    std::string why;
    if (!present(path)) {
        std::optional<uint32_t> known;
        const bool sqliteCatalog = present(m_dir + "/catalog.db");
        try {
            if (sqliteCatalog) {
                known = openSqliteCatalog(CatalogPlace{m_dir, "", 0, m_modes}, m_access)->trellanId();
            }
        } catch (const StoreError& error) {
            if (m_access == Access::ReadWrite) throw;
        }
        if (m_access == Access::ReadOnly) {
            m_trellanId = known.value_or(0);
            return;
        }
        std::random_device device;
        std::uniform_int_distribution<uint32_t> pick(1, INT32_MAX);
        const uint32_t trellanId = known.value_or(pick(device));
        const std::string mine =
            formatText("%s.new-%ld", path.c_str(), static_cast<long>(getpid()));
        ::unlink(mine.c_str());
        // A store of the first format keeps its catalog.db: a catalog named
        // for it now would hide every backup it holds.
        if (sqliteCatalog && !catalog.empty()) {
            unusable("the store " + m_dir +
                     " keeps its catalog in catalog.db; a catalog can be named only for a new "
                     "store");
        }
        const std::string recorded = sqliteCatalog     ? std::string()
                                     : catalog.empty() ? fallback
                                                       : catalog;
        checkConnectionStringIfAny(recorded);
        const std::string catalogLine = recorded.empty() ? "" : "catalog=" + recorded + "\n";
        const std::string groupLine = shareGroup.empty() ? "" : "group=" + shareGroup + "\n";
        if (!createDurably(mine,
                           formatText("# pipelinesetup store\nformat=%u\ntrellan_id=%u\n%s%s",
                                      kStoreFormat, trellanId, catalogLine.c_str(),
                                      groupLine.c_str()),
                           fileModesFor(shareGroup))) {
            unusable(systemError("cannot write", mine));
        }
        const bool linked = ::link(mine.c_str(), path.c_str()) == 0;
        const int saved = errno;
        ::unlink(mine.c_str());
        if (!linked && saved != EEXIST) {
            errno = saved;
            unusable(systemError("cannot write", path));
        }
        syncDirectory(m_dir);
    }
    if (!readIdentityFile(path, &identity, &why)) unusable(why);
    if (identity.format > kStoreFormat) {
        unusable(formatText("the store %s has format %u, newer than this platform's %u",
                            m_dir.c_str(), identity.format, kStoreFormat));
    }
    if (!catalog.empty() && catalog != identity.catalog) {
        unusable("the store " + m_dir + " keeps its catalog " +
                 (identity.catalog.empty() ? std::string("in catalog.db")
                                           : "at the connection string in its store.ini") +
                 ", not at the one given");
    }
    if (!shareGroup.empty() && shareGroup != identity.group) {
        unusable("the store " + m_dir + " is " +
                 (identity.group.empty() ? std::string("shared with no group")
                                         : "shared with the group " + identity.group) +
                 "; a group can be named only for a new store");
    }
    checkConnectionStringIfAny(identity.catalog);
    m_trellanId = identity.trellanId;
    m_connection = identity.catalog;
    try {
        m_modes = fileModesFor(identity.group);
    } catch (const StoreError&) {
        // Reading makes nothing but a log, which stays private then.
        if (m_access == Access::ReadWrite) throw;
    }
}

std::unique_ptr<CatalogBackend> Store::catalog() const {
    return openCatalog(catalogPlace(), m_access);
}

std::unique_ptr<JobLiveness> Store::liveness() const { return openLiveness(catalogPlace()); }

void Store::requireWritable(const char* operation) const {
    if (readOnly()) {
        unusable(std::string(operation) + ": the store " + m_dir + " is open read-only");
    }
}

std::string Store::relativeDataPath(uint64_t afileId) {
    return "files/" + std::to_string(afileId) + ".arch";
}

std::string Store::dataPath(uint64_t afileId) const {
    return m_dir + "/" + relativeDataPath(afileId);
}

std::string Store::sidecarPath(uint64_t afileId) const {
    return filesDirectory() + "/" + std::to_string(afileId) + ".meta";
}

bool Store::resolve(const std::string& catalogPath, std::string* full, std::string* why) const {
    const std::string name = catalogPath.size() > 6 ? catalogPath.substr(6) : "";
    if (!catalogPath.empty() && catalogPath[0] == '/') {
        *why = "its path " + catalogPath + " is absolute, outside the store's files/";
    } else if (catalogPath.find("..") != std::string::npos) {
        *why = "its path " + catalogPath + " contains \"..\"";
    } else if (catalogPath.rfind("files/", 0) != 0 || name.empty() ||
               name.find('/') != std::string::npos) {
        *why = "its path " + catalogPath + " is not in the store's files/";
    } else {
        *full = m_dir + "/" + catalogPath;
        return true;
    }
    return false;
}

ArchiveFileRecord Store::withFullPath(ArchiveFileRecord record) const {
    std::string full, why;
    if (resolve(record.path, &full, &why)) record.path = full;
    return record;
}

int Store::openData(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            *error = "its data file " + path + " is missing";
        else if (errno == ELOOP)
            *error = "its data file " + path + " is a symbolic link";
        else
            *error = systemError("cannot open its data file", path);
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        *error = systemError("cannot stat its data file", path);
        ::close(fd);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        const char* kind = S_ISFIFO(status.st_mode)                             ? "a FIFO"
                           : S_ISDIR(status.st_mode)                            ? "a directory"
                           : S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode) ? "a device"
                                                                                : "a special file";
        *error = "its data file " + path + " is not a regular file but " + kind;
        ::close(fd);
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        *error = systemError("cannot set up its data file", path);
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Store::markerPath(unsigned long long jobId) const {
    return jobsDirectory() + "/" + std::to_string(jobId) + ".complete";
}

bool Store::completionMarked(unsigned long long jobId) const { return present(markerPath(jobId)); }

bool Store::jobLockHeld(unsigned long long jobId) const {
    return liveness()->probe(jobId) == nullptr;
}

void Store::beginJob(unsigned long long jobId) {
    requireWritable("beginJob");
    std::lock_guard<std::mutex> lock(m_mutex);
    beginLocked(jobId);
}

void Store::joinJob(unsigned long long jobId) {
    requireWritable("beginJob");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_locks.count(jobId) == 0) beginLocked(jobId);
}

// The catalog is asked first, so that a known job is refused without
// touching its lock; the lock is taken before the job is entered, so that
// once the entry is visible its liveness is decided by the lock.
void Store::beginLocked(unsigned long long jobId) {
    const auto known = [jobId](const std::string& how) {
        throw StoreError(StoreError::Kind::JobExists,
                         formatText("the store already has job %llu (%s)", jobId, how.c_str()));
    };
    if (m_locks.count(jobId)) known("begun by this process");
    auto connection = catalog();
    if (const auto job = connection->findJob(jobId)) known(job->state);
    if (completionMarked(jobId)) known("complete");
    std::unique_ptr<JobLock> held = liveness()->holdForWriting(jobId);
    if (!held) known("running in another process");
    CatalogTransaction transaction(*connection);
    if (!connection->insertJob(CatalogJob{jobId, "running", "", ""})) known("just begun elsewhere");
    transaction.commit();
    m_locks[jobId] = std::move(held);
    crashPoint("job begun");
}

// The marker first: once it is durable the job is complete, whatever
// happens to the catalog afterwards (cleanup and repair go by the marker).
// All of it happens inside one write transaction of the catalog, whose lock
// cleanup takes too before it settles a job it finds without a writer: so a
// job is either complete before cleanup looks at it, or cleanup has marked
// it failed and it is refused here, never both. A writer that lost its
// liveness lock (its connection to the catalog's server dropped) is refused
// too, since a cleanup may have taken the job meanwhile.
void Store::completeJob(unsigned long long jobId) {
    requireWritable("completeJob");
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_locks.find(jobId);
    if (found == m_locks.end()) {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("completeJob: job %llu was not begun by this process", jobId));
    }
    auto connection = catalog();
    CatalogTransaction transaction(*connection);
    for (const ArchiveFileRecord& file : connection->archiveFilesOf(jobId)) {
        if (file.state != "closed") {
            throw StoreError(StoreError::Kind::Failed,
                             formatText("completeJob: archive file (%u, %u, %u) of job %llu is "
                                        "%s, not closed",
                                        file.trellanId, file.groupNumber, file.afileId, jobId,
                                        file.state.c_str()));
        }
    }
    const auto job = connection->findJob(jobId);
    if (!job || job->state != "running") {
        throw StoreError(StoreError::Kind::Failed,
                         formatText("completeJob: job %llu is %s, not running (a cleanup settled "
                                    "it); it is not complete",
                                    jobId, job ? job->state.c_str() : "not in the catalog"));
    }
    if (!found->second->intact()) {
        throw StoreError(StoreError::Kind::Unreachable,
                         formatText("completeJob: job %llu lost its liveness lock (its connection "
                                    "to the catalog dropped); it is not complete",
                                    jobId));
    }
    const std::string marker = markerPath(jobId);
    if (!createDurably(marker,
                       formatText("job_id=%llu\ncompleted_at=%s\n", jobId, utcNow().c_str()),
                       m_modes)) {
        throw StoreError(StoreError::Kind::Failed, systemError("cannot write", marker));
    }
    crashPoint("completion marker");
    try {
        connection->setJobState(jobId, "complete");
        transaction.commit();
    } catch (...) {
        // The answer to the commit may be lost with the connection although
        // the server committed: asked again, the catalog says.
        if (!completeInCatalog(jobId)) {
            // The catalog's lock may be gone with its connection, and a
            // cleanup may have settled the job without seeing the marker:
            // taken back, the marker never speaks for a job not completed.
            ::unlink(marker.c_str());
            syncDirectory(jobsDirectory());
            throw;
        }
    }
    crashPoint("catalog commit");
    m_locks.erase(found);
}

bool Store::completeInCatalog(unsigned long long jobId) const noexcept {
    try {
        const auto job = catalog()->findJob(jobId);
        return job && job->state == "complete";
    } catch (...) {
        return false;
    }
}

void Store::failJob(unsigned long long jobId) noexcept {
    try {
        if (!readOnly() && !completionMarked(jobId)) {
            auto connection = catalog();
            CatalogTransaction transaction(*connection);
            const auto job = connection->findJob(jobId);
            if (job && job->state != "complete") connection->setJobState(jobId, "failed");
            transaction.commit();
            crashPoint("catalog commit");
        }
    } catch (const std::exception& error) {
        platformError(formatText("failJob: cannot mark job %llu failed (the next cleanup will): %s",
                                 jobId, error.what()));
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_locks.find(jobId);
    if (found != m_locks.end()) m_locks.erase(found);
}

void Store::releaseJobs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_locks.clear();
}

void Store::registerWriter(const std::shared_ptr<ArchiveWriter>& writer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const ArchiveFileRecord& record = writer->record();
    m_writers[{record.jobId, record.stream}] = writer;
    m_created[{record.jobId, record.stream}] = record;
}

void Store::unregisterWriter(const ArchiveWriter* writer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_writers.find({writer->record().jobId, writer->record().stream});
    if (it != m_writers.end() && it->second.get() == writer) m_writers.erase(it);
}

std::shared_ptr<ArchiveWriter> Store::writer(unsigned long long jobId, unsigned long stream) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_writers.find({jobId, stream});
    return it == m_writers.end() ? nullptr : it->second;
}

bool Store::created(unsigned long long jobId, unsigned long stream, ArchiveFileRecord* record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_created.find({jobId, stream});
    if (it == m_created.end()) return false;
    if (record) *record = it->second;
    return true;
}

}  // namespace localplatform
