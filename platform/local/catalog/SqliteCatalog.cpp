// The catalog in SQLite, <store>/catalog.db. A rollback journal rather than a
// write-ahead log, so that a user who may only read the store reads it with
// read permission alone (a write-ahead log needs a shared-memory file that
// such a user cannot create); catalogs made with a write-ahead log are
// switched over when opened for writing, and read with immutable=1 when they
// cannot be opened otherwise. synchronous=FULL makes every commit durable
// before it returns; a busy timeout makes concurrent writers of other
// threads or processes wait their turn instead of failing.

#include <sqlite3.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>

#include "platform/local/ArchiveFiles.h"
#include "platform/local/Config.h"
#include "platform/local/Interruption.h"
#include "platform/local/StepHooks.h"
#include "platform/local/base/Diagnostics.h"
#include "platform/local/base/Format.h"
#include "platform/local/catalog/CatalogBackend.h"

namespace localplatform {

namespace {

constexpr int kBusyTimeoutMs = 10000;
// 1: archive files with absolute paths. 2: paths relative to the store,
// SHA-256 of closed files, and jobs. 3: jobs may also be "deleting" or
// "damaged".
constexpr int kSchemaVersion = 3;

constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS store(key TEXT PRIMARY KEY, value);
CREATE TABLE IF NOT EXISTS archive_files(
  afile_id INTEGER PRIMARY KEY AUTOINCREMENT,
  trellan_id INTEGER NOT NULL,
  group_number INTEGER NOT NULL,
  job_id INTEGER NOT NULL,
  stream INTEGER NOT NULL,
  state TEXT NOT NULL CHECK(state IN ('writing','closed','invalidated')),
  size INTEGER NOT NULL DEFAULT 0,
  path TEXT NOT NULL,
  type_code INTEGER,
  data_type INTEGER,
  setup_text TEXT,
  create_text TEXT,
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL,
  sha256 TEXT NOT NULL DEFAULT '');
CREATE INDEX IF NOT EXISTS archive_files_by_stream ON archive_files(job_id, stream);
CREATE TABLE IF NOT EXISTS jobs(
  job_id INTEGER PRIMARY KEY,
  state TEXT NOT NULL CHECK(state IN ('running','complete','failed','deleting','damaged')),
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL);
)";

// A version 2 catalog's jobs, whose states' check SQLite cannot widen in
// place: copied into a table of the current form, which takes their name.
constexpr const char* kWidenJobStates = R"(
CREATE TABLE jobs_widened(
  job_id INTEGER PRIMARY KEY,
  state TEXT NOT NULL CHECK(state IN ('running','complete','failed','deleting','damaged')),
  created_at TEXT NOT NULL,
  updated_at TEXT NOT NULL);
INSERT INTO jobs_widened(job_id, state, created_at, updated_at)
  SELECT job_id, state, created_at, updated_at FROM jobs;
DROP TABLE jobs;
ALTER TABLE jobs_widened RENAME TO jobs;
)";

// Jobs as a version 1 catalog implies them: failed when a file was
// invalidated, running while a file is being written, else complete.
constexpr const char* kImpliedJobs =
    "SELECT job_id, CASE WHEN SUM(state = 'invalidated') > 0 THEN 'failed' "
    "WHEN SUM(state = 'writing') > 0 THEN 'running' ELSE 'complete' END, "
    "MIN(created_at), MAX(updated_at) FROM archive_files GROUP BY job_id ";

// UTC, ISO 8601, with milliseconds.
#define CATALOG_NOW "strftime('%Y-%m-%dT%H:%M:%fZ','now')"

StoreError::Kind kindOf(int result) {
    const int primary = result & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT ? StoreError::Kind::Unusable
                                                                 : StoreError::Kind::Failed;
}

[[noreturn]] void fail(sqlite3* db, const std::string& path, const std::string& what) {
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    throw StoreError(kindOf(code), "catalog " + path + ": " + what + ": " +
                                       (db ? sqlite3_errmsg(db) : "out of memory"));
}

// A version 1 catalog named files by absolute path, <old store>/files/N.arch.
// The file is N.arch in this store's files/, wherever the store was then; a
// path of any other form stays as it is, and is refused where it is used.
std::string storeRelativePath(const std::string& path, uint32_t afileId) {
    const std::string name = std::to_string(afileId) + ".arch";
    const auto slash = path.rfind('/');
    const std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    return last == name ? "files/" + name : path;
}

// A prepared statement. Parameters are bound in order; 64-bit unsigned
// values (job ids, type codes) are stored with the same bits as signed ones.
class Statement {
public:
    Statement(sqlite3* db, const std::string& path, const std::string& sql)
        : m_db(db), m_path(path) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &m_statement, nullptr) != SQLITE_OK) {
            fail(db, m_path, "cannot prepare " + sql);
        }
    }
    ~Statement() { sqlite3_finalize(m_statement); }

    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(unsigned long long value) { return bind(static_cast<sqlite3_int64>(value)); }
    Statement& bind(sqlite3_int64 value) {
        check(sqlite3_bind_int64(m_statement, m_next++, value));
        return *this;
    }
    Statement& bind(const std::string& text) {
        check(sqlite3_bind_text(m_statement, m_next++, text.data(), static_cast<int>(text.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }

    // True with a row to read, false when the statement is done.
    bool step() {
        const int result = sqlite3_step(m_statement);
        if (result == SQLITE_ROW) return true;
        if (result == SQLITE_DONE) return false;
        fail(m_db, m_path, "cannot run " + std::string(sqlite3_sql(m_statement)));
    }

    sqlite3_int64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string text(int column) const {
        const auto* text = sqlite3_column_text(m_statement, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }

private:
    void check(int result) {
        if (result != SQLITE_OK) fail(m_db, m_path, "cannot bind a parameter");
    }

    sqlite3* m_db;
    const std::string& m_path;
    sqlite3_stmt* m_statement = nullptr;
    int m_next = 1;
};

// "file:" URI of a path, with the characters that URIs give a meaning escaped.
std::string uriOf(const std::string& path) {
    std::string uri = "file:";
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            uri += formatText("%%%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        } else {
            uri += c;
        }
    }
    return uri;
}

class SqliteCatalog : public CatalogBackend {
public:
    // The catalog in the file at path (<store>/catalog.db, or the one a
    // rebuild makes beside it).
    // modes: those of the file when it is made here, through storage.
    SqliteCatalog(Storage& storage, const std::string& path, Access access, const FileModes& modes)
        : m_storage(storage), m_path(path), m_readOnly(access == Access::ReadOnly), m_modes(modes) {
        try {
            if (m_readOnly) openReadOnly();
            else openReadWrite();
        } catch (...) {
            sqlite3_close(m_db);  // the destructor does not run for a constructor that throws
            throw;
        }
    }
    ~SqliteCatalog() override { sqlite3_close(m_db); }

    void begin() override {
        refuseWrites();
        execute("BEGIN IMMEDIATE");
    }
    void commit() override { execute("COMMIT"); }
    // Deferred: the shared lock comes with the first read and stays until
    // the end, so that every read sees the same committed state.
    void beginRead() override { execute("BEGIN DEFERRED"); }
    void rollback() noexcept override {
        if (!sqlite3_get_autocommit(m_db)) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }

    std::optional<uint32_t> trellanId() override {
        Statement select(m_db, m_path, "SELECT value FROM store WHERE key = 'trellan_id'");
        if (!select.step()) return std::nullopt;
        return static_cast<uint32_t>(select.integer(0));
    }
    void setTrellanId(uint32_t trellanId) override {
        refuseWrites();
        Statement(m_db, m_path, "INSERT OR REPLACE INTO store(key, value) VALUES('trellan_id', ?)")
            .bind(static_cast<sqlite3_int64>(trellanId))
            .step();
    }

    uint64_t nextArchiveFileId() override {
        Statement select(m_db, m_path,
                         "SELECT MAX(COALESCE((SELECT MAX(afile_id) FROM archive_files), 0), "
                         "COALESCE((SELECT seq FROM sqlite_sequence WHERE name = "
                         "'archive_files'), 0)) + 1");
        select.step();
        return static_cast<uint64_t>(select.integer(0));
    }

    void insertArchiveFile(const ArchiveFileRecord& record, const NewArchiveFile& file) override {
        refuseWrites();
        Statement(m_db, m_path,
                  "INSERT INTO archive_files(afile_id, trellan_id, group_number, job_id, stream, "
                  "state, size, path, sha256, type_code, data_type, setup_text, create_text, "
                  "created_at, updated_at) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                  "COALESCE(NULLIF(?, ''), " CATALOG_NOW "), COALESCE(NULLIF(?, ''), " CATALOG_NOW
                  "))")
            .bind(static_cast<sqlite3_int64>(record.afileId))
            .bind(static_cast<sqlite3_int64>(record.trellanId))
            .bind(static_cast<sqlite3_int64>(record.groupNumber))
            .bind(record.jobId)
            .bind(static_cast<unsigned long long>(record.stream))
            .bind(record.state)
            .bind(record.size)
            .bind(record.path)
            .bind(record.sha256)
            .bind(static_cast<unsigned long long>(file.typeCode))
            .bind(static_cast<unsigned long long>(file.dataType))
            .bind(file.setupText)
            .bind(file.createText)
            .bind(record.createdAt)
            .bind(record.updatedAt)
            .step();
    }

    bool markClosed(uint32_t afileId, unsigned long long size, const std::string& sha256) override {
        refuseWrites();
        Statement(m_db, m_path,
                  "UPDATE archive_files SET state = 'closed', size = ?, sha256 = ?, updated_at = "
                  CATALOG_NOW " WHERE afile_id = ? AND state = 'writing'")
            .bind(size)
            .bind(sha256)
            .bind(static_cast<sqlite3_int64>(afileId))
            .step();
        return sqlite3_changes(m_db) == 1;
    }

    bool invalidate(unsigned long long jobId, uint64_t trellanId, int64_t afileId) override {
        refuseWrites();
        Statement(m_db, m_path,
                  "UPDATE archive_files SET state = 'invalidated', updated_at = " CATALOG_NOW
                  " WHERE job_id = ? AND trellan_id = ? AND afile_id = ?")
            .bind(jobId)
            .bind(static_cast<unsigned long long>(trellanId))
            .bind(static_cast<sqlite3_int64>(afileId))
            .step();
        return sqlite3_changes(m_db) == 1;
    }

    void removeArchiveFile(uint32_t afileId) override {
        refuseWrites();
        Statement(m_db, m_path, "DELETE FROM archive_files WHERE afile_id = ?")
            .bind(static_cast<sqlite3_int64>(afileId))
            .step();
    }

    std::optional<ArchiveFileRecord> findArchiveFile(uint32_t trellanId, uint32_t groupNumber,
                                                     uint32_t afileId) override {
        Statement select(m_db, m_path,
                         recordQuery() + "WHERE trellan_id = ? AND group_number = ? AND afile_id = ?");
        select.bind(static_cast<sqlite3_int64>(trellanId))
            .bind(static_cast<sqlite3_int64>(groupNumber))
            .bind(static_cast<sqlite3_int64>(afileId));
        if (!select.step()) return std::nullopt;
        return record(select);
    }

    std::vector<ArchiveFileRecord> archiveFiles() override {
        Statement select(m_db, m_path, recordQuery() + "ORDER BY afile_id");
        std::vector<ArchiveFileRecord> records;
        while (select.step()) records.push_back(record(select));
        return records;
    }

    std::vector<ArchiveFileRecord> archiveFilesOf(unsigned long long jobId) override {
        Statement select(m_db, m_path, recordQuery() + "WHERE job_id = ? ORDER BY afile_id");
        select.bind(jobId);
        std::vector<ArchiveFileRecord> records;
        while (select.step()) records.push_back(record(select));
        return records;
    }

    std::optional<CatalogJob> findJob(unsigned long long jobId) override {
        Statement select(m_db, m_path,
                         m_version >= 2 ? "SELECT job_id, state, created_at, updated_at FROM jobs "
                                          "WHERE job_id = ?"
                                        : std::string(kImpliedJobs) + "HAVING job_id = ?");
        select.bind(jobId);
        if (!select.step()) return std::nullopt;
        return job(select);
    }

    bool insertJob(const CatalogJob& job) override {
        refuseWrites();
        Statement(m_db, m_path,
                  "INSERT OR IGNORE INTO jobs(job_id, state, created_at, updated_at) VALUES(?, ?, "
                  "COALESCE(NULLIF(?, ''), " CATALOG_NOW "), COALESCE(NULLIF(?, ''), " CATALOG_NOW
                  "))")
            .bind(job.jobId)
            .bind(job.state)
            .bind(job.createdAt)
            .bind(job.updatedAt)
            .step();
        return sqlite3_changes(m_db) == 1;
    }

    bool setJobState(unsigned long long jobId, const std::string& state) override {
        refuseWrites();
        Statement(m_db, m_path,
                  "UPDATE jobs SET state = ?, updated_at = " CATALOG_NOW " WHERE job_id = ?")
            .bind(state)
            .bind(jobId)
            .step();
        return sqlite3_changes(m_db) == 1;
    }

    std::vector<CatalogJob> jobs() override {
        Statement select(m_db, m_path,
                         m_version >= 2 ? "SELECT job_id, state, created_at, updated_at FROM jobs "
                                          "ORDER BY created_at, job_id"
                                        : std::string(kImpliedJobs) + "ORDER BY MIN(afile_id)");
        std::vector<CatalogJob> found;
        while (select.step()) found.push_back(job(select));
        return found;
    }

    bool removeJob(unsigned long long jobId) override {
        refuseWrites();
        Statement(m_db, m_path, "DELETE FROM archive_files WHERE job_id = ?").bind(jobId).step();
        Statement(m_db, m_path, "DELETE FROM jobs WHERE job_id = ?").bind(jobId).step();
        return sqlite3_changes(m_db) == 1;
    }

    std::vector<std::string> integrityProblems() override {
        Statement select(m_db, m_path, "PRAGMA quick_check");
        std::vector<std::string> problems;
        while (select.step()) {
            const std::string line = select.text(0);
            if (line != "ok") problems.push_back("catalog " + m_path + ": " + line);
        }
        return problems;
    }

private:
    // SQLite opens the catalog and its journals by name, following links
    // and waiting on a FIFO: each of them that is there must be a regular
    // file of the store, looked at through its storage (which follows no
    // link on the way) just before SQLite opens them, and SQLite itself is
    // told to follow no link.
    void refuseSpecialFiles() const {
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
            const std::string path = m_path + suffix;
            EntryStatus status;
            if (!m_storage.status(path, &status)) {
                if (errno == ENOENT) continue;
                throw StoreError(StoreError::Kind::Unusable,
                                 systemError("cannot reach the catalog's file", path));
            }
            if (status.kind != EntryStatus::Kind::Regular) {
                throw StoreError(StoreError::Kind::Unusable,
                                 "the catalog's file " + path + " is " +
                                     describeKind(status.kind) + ", not a regular file; refused");
            }
        }
    }

    void openWith(const std::string& name, int flags) {
        sqlite3_close(m_db);
        m_db = nullptr;
        refuseSpecialFiles();
        if (sqlite3_open_v2(name.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                            nullptr) !=
            SQLITE_OK) {
            const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
            const int code = m_db ? sqlite3_extended_errcode(m_db) : SQLITE_NOMEM;
            sqlite3_close(m_db);
            m_db = nullptr;
            throw StoreError(kindOf(code), "cannot open the catalog " + m_path + ": " + message);
        }
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
    }

    // A catalog made here is made first as an empty file of the store's
    // modes (an empty file is an empty database), which its journals take
    // too.
    void openReadWrite() {
        // A failure other than EEXIST is SQLite's to report when it opens.
        m_storage.createExclusive(m_path, m_modes);
        openWith(m_path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        useRollbackJournal();
        execute("PRAGMA synchronous=FULL");
        createSchema();
    }

    // Reading needs no write of any kind. A catalog left with a write-ahead
    // log needs its shared-memory file, which a reader without write
    // permission cannot create: then it is read as immutable.
    void openReadOnly() {
        if (!m_storage.status(m_path, nullptr) && errno == ENOENT) {
            throw StoreError(StoreError::Kind::Failed, "the catalog " + m_path + " is missing");
        }
        openWith(uriOf(m_path) + "?mode=ro", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
        try {
            m_version = readVersion();
        } catch (const StoreError& error) {
            if (error.kind() == StoreError::Kind::Unusable) throw;
            // A writer that kept the catalog past the busy timeout is no
            // reason to read it as if nobody wrote it: immutable reads of a
            // catalog being written can see it torn.
            const int primary = sqlite3_extended_errcode(m_db) & 0xFF;
            if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) throw;
            openWith(uriOf(m_path) + "?mode=ro&immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
            m_version = readVersion();
        }
        if (m_version > kSchemaVersion) newerFormat();
    }

    int readVersion() {
        Statement(m_db, m_path, "SELECT COUNT(*) FROM sqlite_master").step();
        Statement version(m_db, m_path, "PRAGMA user_version");
        return version.step() ? static_cast<int>(version.integer(0)) : 0;
    }

    [[noreturn]] void newerFormat() {
        throw StoreError(StoreError::Kind::Unusable,
                         "catalog " + m_path + " has format " + std::to_string(m_version) +
                             ", newer than this platform's " + std::to_string(kSchemaVersion));
    }

    void refuseWrites() {
        if (m_readOnly) {
            throw StoreError(StoreError::Kind::Unusable,
                             "catalog " + m_path + " is open read-only");
        }
    }

    void execute(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string text = message ? message : sqlite3_errmsg(m_db);
            sqlite3_free(message);
            throw StoreError(kindOf(sqlite3_extended_errcode(m_db)),
                             "catalog " + m_path + ": " + sql + ": " + text);
        }
    }

    std::string journalMode(const char* pragma) {
        Statement statement(m_db, m_path, pragma);
        return statement.step() ? statement.text(0) : "";
    }

    // Leaving a write-ahead log needs the database to itself; while other
    // connections have it open this is retried briefly, then left for a
    // later open (the catalog works either way).
    void useRollbackJournal() {
        if (journalMode("PRAGMA journal_mode") != "wal") return;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        do {
            try {
                if (journalMode("PRAGMA journal_mode=DELETE") == "delete") return;
            } catch (const StoreError&) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        } while (std::chrono::steady_clock::now() < deadline);
    }

    // The version in the database's header tells whether the tables are
    // there, so that opening an existing catalog takes no write lock.
    void createSchema() {
        m_version = readVersion();
        if (m_version == kSchemaVersion) return;
        if (m_version > kSchemaVersion) newerFormat();
        CatalogTransaction transaction(*this);
        m_version = readVersion();
        if (m_version == 0) {
            execute(kSchema);
        } else if (m_version == 1) {
            upgradeFromVersion1();
        } else if (m_version == 2) {
            execute(kWidenJobStates);
        }
        if (m_version < kSchemaVersion) {
            execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
        }
        transaction.commit();
        m_version = kSchemaVersion;
    }

    void upgradeFromVersion1() {
        execute("ALTER TABLE archive_files ADD COLUMN sha256 TEXT NOT NULL DEFAULT ''");
        execute(kSchema);
        execute((std::string("INSERT INTO jobs(job_id, state, created_at, updated_at) ") +
                 kImpliedJobs)
                    .c_str());
        std::vector<std::pair<sqlite3_int64, std::string>> paths;
        {
            Statement select(m_db, m_path, "SELECT afile_id, path FROM archive_files");
            while (select.step()) paths.emplace_back(select.integer(0), select.text(1));
        }
        for (const auto& [afileId, path] : paths) {
            Statement(m_db, m_path, "UPDATE archive_files SET path = ? WHERE afile_id = ?")
                .bind(storeRelativePath(path, static_cast<uint32_t>(afileId)))
                .bind(afileId)
                .step();
        }
    }

    std::string recordQuery() const {
        return std::string("SELECT trellan_id, group_number, afile_id, job_id, stream, state, "
                           "size, path, created_at, updated_at, ") +
               (m_version >= 2 ? "sha256" : "''") + " FROM archive_files ";
    }

    ArchiveFileRecord record(const Statement& row) const {
        ArchiveFileRecord record;
        record.trellanId = static_cast<uint32_t>(row.integer(0));
        record.groupNumber = static_cast<uint32_t>(row.integer(1));
        record.afileId = static_cast<uint32_t>(row.integer(2));
        record.jobId = static_cast<unsigned long long>(row.integer(3));
        record.stream = static_cast<unsigned long>(row.integer(4));
        record.state = row.text(5);
        record.size = static_cast<unsigned long long>(row.integer(6));
        record.path = row.text(7);
        if (m_version < 2) record.path = storeRelativePath(record.path, record.afileId);
        record.createdAt = row.text(8);
        record.updatedAt = row.text(9);
        record.sha256 = row.text(10);
        return record;
    }

    static CatalogJob job(const Statement& row) {
        return CatalogJob{static_cast<unsigned long long>(row.integer(0)), row.text(1), row.text(2),
                          row.text(3)};
    }

    Storage& m_storage;
    const std::string m_path;
    const bool m_readOnly;
    const FileModes m_modes;
    sqlite3* m_db = nullptr;
    int m_version = 0;
};

}  // namespace

std::unique_ptr<CatalogBackend> openSqliteCatalog(const CatalogPlace& place, Access access) {
    return std::make_unique<SqliteCatalog>(*place.storage, place.storeDir + "/catalog.db", access,
                                           place.modes);
}

namespace {

// Removes path; false with errno set unless it was removed or was not there.
bool removeIfThere(Storage& storage, const std::string& path) {
    return storage.remove(path) || errno == ENOENT;
}

}  // namespace

// The new catalog is built as catalog.db.rebuilding and renamed over
// catalog.db, so that the store has a whole catalog at every instant. The
// old one keeps its place until then; a second name for it, linked before
// the rename, keeps it afterwards. Its rollback journal, if any, is removed
// just before the rename, since SQLite would play it back into the new file:
// by then the check that precedes a rebuild has opened the old catalog,
// which rolls back a journal left by a killed writer, so a journal is left
// only beside a catalog that could not be opened, and its copy is kept too.
std::vector<std::string> rebuildSqliteCatalog(const CatalogPlace& place,
                                              const CatalogFill& fill) {
    const std::string& storeDir = place.storeDir;
    Storage& storage = *place.storage;
    const std::string catalog = storeDir + "/catalog.db";
    const std::string rebuilt = catalog + ".rebuilding";
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        if (!removeIfThere(storage, rebuilt + suffix)) {
            throw StoreError(StoreError::Kind::Failed,
                             systemError("cannot remove an earlier rebuild's", rebuilt + suffix));
        }
    }
    try {
        SqliteCatalog fresh(storage, rebuilt, Access::ReadWrite, place.modes);
        CatalogTransaction transaction(fresh);
        fill(fresh);
        transaction.commit();
        crashPoint("catalog rebuilt");
        if (interrupted()) {
            throw StoreError(StoreError::Kind::Interrupted,
                             "stopped before the rebuilt catalog replaced the old one, which is "
                             "in place");
        }
    } catch (...) {
        for (const char* suffix : {"", "-journal"}) removeIfThere(storage, rebuilt + suffix);
        throw;
    }

    std::vector<std::string> done;
    const std::string aside = catalog + ".damaged-" + utcNowCompact();
    for (const char* suffix : {"", "-journal", "-wal"}) {
        const std::string from = catalog + suffix, to = aside + suffix;
        if (!storage.link(from, to)) {
            if (errno == ENOENT) continue;
            throw StoreError(StoreError::Kind::Failed, systemError("cannot keep a copy of", from));
        }
        if (*suffix == '\0') done.push_back("kept the old catalog as " + to);
    }
    if (!storage.syncDirectory(storeDir)) {
        throw StoreError(StoreError::Kind::Failed, systemError("cannot sync", storeDir));
    }
    crashPoint("old catalog kept");
    for (const char* suffix : {"-journal", "-wal", "-shm"}) {
        if (!removeIfThere(storage, catalog + suffix)) {
            throw StoreError(StoreError::Kind::Failed, systemError("cannot remove", catalog + suffix));
        }
    }
    if (!storage.rename(rebuilt, catalog)) {
        throw StoreError(StoreError::Kind::Failed, systemError("cannot rename into place", rebuilt));
    }
    if (!storage.syncDirectory(storeDir)) {
        throw StoreError(StoreError::Kind::Failed, systemError("cannot sync", storeDir));
    }
    crashPoint("catalog replaced");
    return done;
}

}  // namespace localplatform
