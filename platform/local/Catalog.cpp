// The catalog of archive files, in SQLite. Write-ahead logging lets readers
// go on while one connection writes; synchronous=FULL makes every commit
// durable before it returns; a busy timeout makes concurrent writers of
// other threads or processes wait their turn instead of failing.

#include "platform/local/Catalog.h"

#include <sqlite3.h>

#include <chrono>
#include <climits>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

namespace localplatform {

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr int kSchemaVersion = 1;

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
  updated_at TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS archive_files_by_stream ON archive_files(job_id, stream);
)";

// UTC, ISO 8601, with milliseconds.
#define CATALOG_NOW "strftime('%Y-%m-%dT%H:%M:%fZ','now')"

constexpr const char* kRecordColumns =
    "SELECT trellan_id, group_number, afile_id, job_id, stream, state, size, path, created_at, "
    "updated_at FROM archive_files ";

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    const char* file = db ? sqlite3_db_filename(db, "main") : nullptr;
    throw std::runtime_error("catalog " + std::string(file ? file : "") + ": " + what + ": " +
                             (db ? sqlite3_errmsg(db) : "out of memory"));
}

// A prepared statement. Parameters are bound in order; 64-bit unsigned
// values (job ids, type codes) are stored with the same bits as signed ones.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &m_statement, nullptr) != SQLITE_OK) {
            fail(db, "cannot prepare " + sql);
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
        fail(m_db, "cannot run " + std::string(sqlite3_sql(m_statement)));
    }

    sqlite3_int64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }
    std::string text(int column) const {
        const auto* text = sqlite3_column_text(m_statement, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }

    // The row as a record, for a statement that starts with kRecordColumns.
    ArchiveFileRecord record() const {
        ArchiveFileRecord record;
        record.trellanId = static_cast<uint32_t>(integer(0));
        record.groupNumber = static_cast<uint32_t>(integer(1));
        record.afileId = static_cast<uint32_t>(integer(2));
        record.jobId = static_cast<unsigned long long>(integer(3));
        record.stream = static_cast<unsigned long>(integer(4));
        record.state = text(5);
        record.size = static_cast<unsigned long long>(integer(6));
        record.path = text(7);
        record.createdAt = text(8);
        record.updatedAt = text(9);
        return record;
    }

private:
    void check(int result) {
        if (result != SQLITE_OK) fail(m_db, "cannot bind a parameter");
    }

    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
    int m_next = 1;
};

}  // namespace

Catalog::Catalog(const std::string& storeDir)
    : m_path(storeDir + "/catalog.db"), m_filesDir(storeDir + "/files") {
    std::error_code error;
    std::filesystem::create_directories(m_filesDir, error);
    if (error) {
        throw std::runtime_error("cannot create the store directory " + m_filesDir + ": " +
                                 error.message());
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(m_path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        throw std::runtime_error("cannot open the catalog " + m_path + ": " + message);
    }
    try {
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        useWriteAheadLog();
        execute("PRAGMA synchronous=FULL");
        createSchema();
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

Catalog::~Catalog() { sqlite3_close(m_db); }

void Catalog::execute(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        throw std::runtime_error("catalog " + m_path + ": " + sql + ": " + text);
    }
}

// Switching to write-ahead logging needs the database to itself and does not
// wait for it as other statements do, so a new catalog that several
// connections open at once is retried here until the busy timeout. Once
// switched, the mode stays with the database and this is quick.
void Catalog::useWriteAheadLog() {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    for (;;) {
        std::string mode;
        const auto keep = [](void* mode, int, char** values, char**) {
            *static_cast<std::string*>(mode) = values[0] ? values[0] : "";
            return 0;
        };
        const int result = sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", keep, &mode, nullptr);
        if (result == SQLITE_OK && mode == "wal") return;
        if ((result != SQLITE_OK && result != SQLITE_BUSY) ||
            std::chrono::steady_clock::now() >= deadline) {
            fail(m_db, "cannot switch to write-ahead logging");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// The version in the database's header tells whether the tables are there,
// so that opening an existing catalog takes no write lock.
void Catalog::createSchema() {
    const auto version = [this] {
        Statement statement(m_db, "PRAGMA user_version");
        return statement.step() ? statement.integer(0) : 0;
    };
    if (version() >= kSchemaVersion) return;
    Transaction transaction(*this);
    if (version() < kSchemaVersion) {
        execute(kSchema);
        execute(("PRAGMA user_version=" + std::to_string(kSchemaVersion)).c_str());
    }
    transaction.commit();
}

Catalog::Transaction::Transaction(Catalog& catalog) : m_catalog(catalog), m_open(true) {
    m_catalog.execute("BEGIN IMMEDIATE");
}

Catalog::Transaction::~Transaction() {
    if (m_open && !sqlite3_get_autocommit(m_catalog.m_db)) {
        sqlite3_exec(m_catalog.m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Catalog::Transaction::commit() {
    m_catalog.execute("COMMIT");
    m_open = false;
}

uint32_t Catalog::trellanId() {
    std::random_device device;
    std::uniform_int_distribution<uint32_t> pick(1, INT32_MAX);
    // Whoever inserts first wins; everyone then reads the winner's choice.
    Statement(m_db, "INSERT OR IGNORE INTO store(key, value) VALUES('trellan_id', ?)")
        .bind(static_cast<sqlite3_int64>(pick(device)))
        .step();
    Statement select(m_db, "SELECT value FROM store WHERE key = 'trellan_id'");
    if (!select.step()) fail(m_db, "the store has no Trellan id");
    return static_cast<uint32_t>(select.integer(0));
}

ArchiveFileRecord Catalog::insertWriting(const NewArchiveFile& file) {
    const uint32_t trellan = trellanId();
    Statement(m_db,
              "INSERT INTO archive_files(trellan_id, group_number, job_id, stream, state, path, "
              "type_code, data_type, setup_text, create_text, created_at, updated_at) "
              "VALUES(?, ?, ?, ?, 'writing', '', ?, ?, ?, ?, " CATALOG_NOW ", " CATALOG_NOW ")")
        .bind(static_cast<sqlite3_int64>(trellan))
        .bind(static_cast<unsigned long long>(file.stream))
        .bind(file.jobId)
        .bind(static_cast<unsigned long long>(file.stream))
        .bind(static_cast<unsigned long long>(file.typeCode))
        .bind(static_cast<unsigned long long>(file.dataType))
        .bind(file.setupText)
        .bind(file.createText)
        .step();
    const sqlite3_int64 id = sqlite3_last_insert_rowid(m_db);
    // Identities carry 32-bit archive file ids.
    if (id > static_cast<sqlite3_int64>(UINT32_MAX)) {
        throw std::runtime_error("catalog " + m_path + ": archive file ids are used up");
    }
    Statement(m_db, "UPDATE archive_files SET path = ? WHERE afile_id = ?")
        .bind(m_filesDir + "/" + std::to_string(id) + ".arch")
        .bind(id)
        .step();
    Statement select(m_db, std::string(kRecordColumns) + "WHERE afile_id = ?");
    select.bind(id);
    if (!select.step()) fail(m_db, "the new archive file is missing");
    return select.record();
}

bool Catalog::markClosed(uint32_t afileId, unsigned long long size) {
    Statement(m_db, "UPDATE archive_files SET state = 'closed', size = ?, updated_at = " CATALOG_NOW
                    " WHERE afile_id = ? AND state = 'writing'")
        .bind(size)
        .bind(static_cast<sqlite3_int64>(afileId))
        .step();
    return sqlite3_changes(m_db) == 1;
}

bool Catalog::invalidate(unsigned long long jobId, uint64_t trellanId, int64_t afileId) {
    Statement(m_db, "UPDATE archive_files SET state = 'invalidated', updated_at = " CATALOG_NOW
                    " WHERE job_id = ? AND trellan_id = ? AND afile_id = ?")
        .bind(jobId)
        .bind(static_cast<unsigned long long>(trellanId))
        .bind(static_cast<sqlite3_int64>(afileId))
        .step();
    return sqlite3_changes(m_db) == 1;
}

void Catalog::remove(uint32_t afileId) {
    Statement(m_db, "DELETE FROM archive_files WHERE afile_id = ?")
        .bind(static_cast<sqlite3_int64>(afileId))
        .step();
}

std::optional<ArchiveFileRecord> Catalog::find(uint32_t trellanId, uint32_t groupNumber,
                                               uint32_t afileId) {
    Statement select(m_db, std::string(kRecordColumns) +
                               "WHERE trellan_id = ? AND group_number = ? AND afile_id = ?");
    select.bind(static_cast<sqlite3_int64>(trellanId))
        .bind(static_cast<sqlite3_int64>(groupNumber))
        .bind(static_cast<sqlite3_int64>(afileId));
    if (!select.step()) return std::nullopt;
    return select.record();
}

std::optional<ArchiveFileRecord> Catalog::findLatest(unsigned long long jobId,
                                                     unsigned long stream) {
    Statement select(m_db, std::string(kRecordColumns) +
                               "WHERE job_id = ? AND stream = ? ORDER BY afile_id DESC LIMIT 1");
    select.bind(jobId).bind(static_cast<unsigned long long>(stream));
    if (!select.step()) return std::nullopt;
    return select.record();
}

std::vector<ArchiveFileRecord> Catalog::list() {
    Statement select(m_db, std::string(kRecordColumns) + "ORDER BY afile_id");
    std::vector<ArchiveFileRecord> records;
    while (select.step()) records.push_back(select.record());
    return records;
}

}  // namespace localplatform
